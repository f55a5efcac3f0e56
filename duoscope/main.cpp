// Duoscope: shows the colour and the depth stream of the first camera side by
// side in one window, until ESC is pressed in it.
#include <stdio.h>

#include "check_error.h"

vt_pipeline* pipe = nullptr;
// Each thread has its own error slot, so that no thread reads a slot while the
// SDK writes it on behalf of another.
thread_local vt_error* error = nullptr;

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    vt_config* config;
    uint32_t depth_profile_count = 0;
    uint32_t color_profile_count = 0;
    vt_stream_profile** profiles;
    vt_stream_profile* depth_profile;
    vt_stream_profile* color_profile;
    vt_format format;
    uint32_t fps;

    pipe = vt_create_pipeline(&error);
    check_error(error);
    config = vt_create_config(&error);
    check_error(error);

    // Depth: the first YUYV or Y16 profile at 30 fps, else the first profile.
    profiles = vt_pipeline_get_stream_profiles(pipe, VT_SENSOR_DEPTH, &depth_profile_count, &error);
    check_error(error);
    if (depth_profile_count == 0) {
        printf("No depth stream profile found!\n");
        return 1;
    }
    depth_profile = profiles[0];
    for (uint32_t i = 0; i < depth_profile_count; i++) {
        format = vt_stream_profile_format(profiles[i], &error);
        check_error(error);
        fps = vt_stream_profile_fps(profiles[i], &error);
        check_error(error);
        if ((format == VT_FORMAT_YUYV || format == VT_FORMAT_Y16) && fps == 30) {
            depth_profile = profiles[i];
            break;
        }
    }
    vt_config_enable_stream(config, depth_profile, &error);
    check_error(error);

    // Colour: the first MJPEG profile at 30 fps, else the first profile.
    profiles = vt_pipeline_get_stream_profiles(pipe, VT_SENSOR_COLOR, &color_profile_count, &error);
    check_error(error);
    if (color_profile_count == 0) {
        printf("No color stream profile found!\n");
        return 1;
    }
    color_profile = profiles[0];
    for (uint32_t i = 0; i < color_profile_count; i++) {
        format = vt_stream_profile_format(profiles[i], &error);
        check_error(error);
        fps = vt_stream_profile_fps(profiles[i], &error);
        check_error(error);
        if (format == VT_FORMAT_MJPG && fps == 30) {
            color_profile = profiles[i];
            break;
        }
    }
    vt_config_enable_stream(config, color_profile, &error);
    check_error(error);

    vt_pipeline_disable_frame_sync(pipe, &error);
    check_error(error);
    vt_pipeline_start_with_config(pipe, config, &error);
    check_error(error);

    vt_pipeline_stop(pipe, &error);
    check_error(error);
    vt_delete_pipeline(pipe, &error);
    check_error(error);
    return 0;
}
