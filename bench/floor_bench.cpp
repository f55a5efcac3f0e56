// The least work that showing one frame set takes, without a window: decode
// the MJPEG colour frame, turn the 16-bit depth frame into 8-bit grey in three
// channels, scale both to 640 x 480 and join them side by side. The frames are
// the camera's own bytes, taken from the SDK once before the timing starts.
//
//   floor_bench [benchmark options]   time the work (process CPU per set, all
//                                     threads, OpenCV's workers included)
//   floor_bench --dump DIR            write the colour frames as DIR/NNN.jpg and the depth
//                                     frames as DIR/NNN.raw (16-bit little-endian samples)
//
// Point VANTRA_SIM_SCENARIO at bench/frames.json: the viewer's two streams,
// with each set made as soon as it is waited for.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "vantra_sdk.h"

namespace {

const size_t kSets = 60;  // one loop of the simulated scene

struct FrameSet {
    std::vector<uint8_t> jpeg;
    cv::Mat depth;  // 16-bit, one channel, owns its samples
};

void check(vt_error* error) {
    if (error == nullptr) return;
    fprintf(stderr, "%s(%s): %s\n", vt_error_function(error), vt_error_args(error),
            vt_error_message(error));
    exit(1);
}

vt_stream_profile* find_profile(vt_pipeline* pipe, vt_sensor_type sensor, vt_format format,
                                uint32_t width, uint32_t height) {
    vt_error* error = nullptr;
    uint32_t count = 0;
    vt_stream_profile** profiles = vt_pipeline_get_stream_profiles(pipe, sensor, &count, &error);
    check(error);
    for (uint32_t i = 0; i < count; i++) {
        if (vt_stream_profile_format(profiles[i], &error) == format &&
            vt_stream_profile_width(profiles[i], &error) == width &&
            vt_stream_profile_height(profiles[i], &error) == height &&
            vt_stream_profile_fps(profiles[i], &error) == 30) {
            return profiles[i];
        }
        check(error);
    }
    fprintf(stderr, "the camera offers no %ux%u profile of format %u at 30 fps\n", width, height,
            (unsigned)format);
    exit(1);
}

std::vector<FrameSet> grab_sets() {
    vt_error* error = nullptr;
    vt_pipeline* pipe = vt_create_pipeline(&error);
    check(error);
    vt_config* config = vt_create_config(&error);
    check(error);
    vt_config_enable_stream(config, find_profile(pipe, VT_SENSOR_DEPTH, VT_FORMAT_Y16, 640, 480),
                            &error);
    check(error);
    vt_config_enable_stream(config, find_profile(pipe, VT_SENSOR_COLOR, VT_FORMAT_MJPG, 1280, 720),
                            &error);
    check(error);
    vt_pipeline_disable_frame_sync(pipe, &error);
    check(error);
    vt_pipeline_start_with_config(pipe, config, &error);
    check(error);

    std::vector<FrameSet> sets;
    while (sets.size() < kSets) {
        vt_frame* set = vt_pipeline_wait_for_frames(pipe, 1000, &error);
        check(error);
        if (set == nullptr) continue;
        vt_frame* color = vt_frame_set_color_frame(set, &error);
        check(error);
        vt_frame* depth = vt_frame_set_depth_frame(set, &error);
        check(error);
        if (color != nullptr && depth != nullptr) {
            FrameSet s;
            auto* bytes = static_cast<uint8_t*>(vt_frame_data(color, &error));
            s.jpeg.assign(bytes, bytes + vt_frame_data_size(color, &error));
            cv::Mat view(int(vt_frame_height(depth, &error)), int(vt_frame_width(depth, &error)),
                         CV_16UC1, vt_frame_data(depth, &error));
            check(error);
            s.depth = view.clone();
            sets.push_back(std::move(s));
        }
        for (vt_frame* f : {color, depth}) {
            if (f != nullptr) vt_delete_frame(f, &error);
            check(error);
        }
        vt_delete_frame_set(set, &error);
        check(error);
    }
    vt_pipeline_stop(pipe, &error);
    check(error);
    vt_delete_pipeline(pipe, &error);
    check(error);
    return sets;
}

std::vector<FrameSet> g_sets;

// Writes DIR/NNN.EXTENSION; says why on standard error when it cannot.
bool write_file(const char* dir, size_t n, const char* extension, const void* bytes, size_t size) {
    char path[4096];
    snprintf(path, sizeof path, "%s/%03zu.%s", dir, n, extension);
    FILE* f = fopen(path, "wb");
    bool written = f != nullptr && fwrite(bytes, 1, size, f) == size;
    if (f != nullptr && fclose(f) != 0) written = false;
    if (!written) perror(path);
    return written;
}

// The same OpenCV calls, with the same arguments, as the viewer makes per set.
void show_set(const FrameSet& s) {
    cv::Mat raw(1, int(s.jpeg.size()), CV_8UC1, const_cast<uint8_t*>(s.jpeg.data()));
    cv::Mat color = cv::imdecode(raw, cv::IMREAD_COLOR);
    cv::Mat scaled, grey;
    cv::convertScaleAbs(s.depth, scaled, 0.25, 0);
    cv::cvtColor(scaled, grey, cv::COLOR_GRAY2BGR, 0);
    cv::Mat left, right, picture;
    cv::resize(color, left, cv::Size(640, 480), 0, 0, cv::INTER_LINEAR);
    cv::resize(grey, right, cv::Size(640, 480), 0, 0, cv::INTER_LINEAR);
    cv::hconcat(left, right, picture);
    benchmark::DoNotOptimize(picture.data);
}

// One set after the other, with warm caches: the least the work can cost.
void BM_BackToBack(benchmark::State& state) {
    size_t i = 0;
    for (auto _ : state) show_set(g_sets[i++ % g_sets.size()]);
}
BENCHMARK(BM_BackToBack)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->MinTime(5);

// One set every 1/30 s, as the camera delivers them to the viewer; the caches
// and the worker threads cool down in between. The sleep costs no CPU time.
void BM_PacedAt30(benchmark::State& state) {
    size_t i = 0;
    auto next = std::chrono::steady_clock::now();
    for (auto _ : state) {
        next += std::chrono::microseconds(33333);
        std::this_thread::sleep_until(next);
        show_set(g_sets[i++ % g_sets.size()]);
    }
}
BENCHMARK(BM_PacedAt30)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->Iterations(300);

}  // namespace

int main(int argc, char** argv) {
    g_sets = grab_sets();
    if (argc == 3 && strcmp(argv[1], "--dump") == 0) {
        for (size_t i = 0; i < g_sets.size(); i++) {
            const cv::Mat& depth = g_sets[i].depth;
            if (!write_file(argv[2], i, "jpg", g_sets[i].jpeg.data(), g_sets[i].jpeg.size()) ||
                !write_file(argv[2], i, "raw", depth.data, depth.total() * depth.elemSize())) {
                return 1;
            }
        }
        return 0;
    }
    // The allocator as Duoscope's main sets it, and the work on a thread of its
    // own, as on the viewer's processing thread: the floor pays what the viewer pays.
    mallopt(M_MMAP_THRESHOLD, 8 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::thread worker([] { benchmark::RunSpecifiedBenchmarks(); });
    worker.join();
    return 0;
}
