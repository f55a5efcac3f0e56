// Streams depth from the first camera for one second and counts the frame sets.
#include <vantra_sdk.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>

static vt_error* error = nullptr;  // set by a failing SDK call; never released
template <typename T = int>
T check(T result = 0) {  // passes on a result, or ends the program if the call failed
    if (!error) return result;
    std::fprintf(stderr, "%s failed: %s\n", vt_error_function(error), vt_error_message(error));
    std::exit(1);
}

int main() {
    vt_pipeline* pipeline = check(vt_create_pipeline(&error));
    vt_config* config = check(vt_create_config(&error));
    uint32_t count = 0, sets = 0;
    vt_stream_profile** profiles =
        check(vt_pipeline_get_stream_profiles(pipeline, VT_SENSOR_DEPTH, &count, &error));
    if (count == 0) return 1;
    vt_config_enable_stream(config, profiles[0], &error);  // the first depth profile offered
    check();
    vt_pipeline_start_with_config(pipeline, config, &error);
    check();
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < end) {
        vt_frame* set = check(vt_pipeline_wait_for_frames(pipeline, 100, &error));
        if (!set) continue;  // none came within 100 ms
        sets++;
        vt_delete_frame_set(set, &error);
        check();
    }
    vt_pipeline_stop(pipeline, &error);
    check();
    vt_delete_pipeline(pipeline, &error);
    check();
    std::printf("Frame sets in one second: %u\n", sets);
}
