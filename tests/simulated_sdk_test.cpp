// The simulated Camera SDK, called in-process: handle checks, scenarios,
// faults, streaming, trace and statistics.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <opencv2/imgcodecs.hpp>

#include "harness.h"
#include "sim_fixture.h"
#include "vantra_sdk.h"
#include "vantra_sim.h"

namespace {

class Sdk : public SimTest {
  protected:
    // Unlike use(), also takes an empty text as the file's contents.
    void use_file(const std::string& text) {
        use("");
        setenv("VANTRA_SIM_SCENARIO", dir.write("scenario.json", text).c_str(), 1);
        sim::reset();
    }
    void SetUp() override { use(""); }
    // A started pipeline with the first depth and the fourth colour profile.
    vt_pipeline* start() {
        vt_pipeline* pipe = vt_create_pipeline(&error);
        EXPECT_EQ(error, nullptr);
        vt_config* config = vt_create_config(&error);
        uint32_t count = 0;
        vt_stream_profile** depth =
            vt_pipeline_get_stream_profiles(pipe, VT_SENSOR_DEPTH, &count, &error);
        vt_config_enable_stream(config, depth[0], &error);
        vt_stream_profile** color =
            vt_pipeline_get_stream_profiles(pipe, VT_SENSOR_COLOR, &count, &error);
        vt_config_enable_stream(config, color[count > 3 ? 3 : 0], &error);
        vt_pipeline_start_with_config(pipe, config, &error);
        EXPECT_EQ(error, nullptr);
        return pipe;
    }
    void expect_error(const char* function, const char* args, vt_exception_type type,
                      const std::string& message_part) {
        ASSERT_NE(error, nullptr);
        EXPECT_STREQ(vt_error_function(error), function);
        EXPECT_STREQ(vt_error_args(error), args);
        EXPECT_EQ(vt_error_exception_type(error), type);
        EXPECT_NE(std::string(vt_error_message(error)).find(message_part), std::string::npos)
            << vt_error_message(error);
    }
};

const char* kNonRealtime = R"({"stream": {"realtime": false}})";

TEST_F(Sdk, BadHandlesGiveErrorsNamingTheCall) {
    vt_frame_data_size(nullptr, &error);
    expect_error("vt_frame_data_size", "null", VT_EXCEPTION_INVALID_HANDLE, "frame handle is null");

    int local = 0;
    vt_pipeline_stop((vt_pipeline*)&local, &error);
    expect_error("vt_pipeline_stop", "unknown", VT_EXCEPTION_INVALID_HANDLE,
                 "not one that this SDK gave out");

    vt_config* config = vt_create_config(&error);
    vt_pipeline_stop((vt_pipeline*)config, &error);
    expect_error("vt_pipeline_stop", "config", VT_EXCEPTION_INVALID_HANDLE,
                 "expected a pipeline handle, got a config handle");

    use(kNonRealtime);
    vt_pipeline* pipe = start();
    vt_frame* set = vt_pipeline_wait_for_frames(pipe, 100, &error);
    ASSERT_NE(set, nullptr);
    vt_frame_width(set, &error);
    expect_error("vt_frame_width", "frameset", VT_EXCEPTION_INVALID_HANDLE,
                 "expected a frame handle, got a frameset handle");
    vt_delete_frame(set, &error);
    EXPECT_NE(error, nullptr);
    vt_delete_frame_set(set, &error);
    EXPECT_EQ(error, nullptr);
    vt_delete_frame_set(set, &error);
    expect_error("vt_delete_frame_set", "frameset", VT_EXCEPTION_INVALID_HANDLE,
                 "already been released");
}

TEST_F(Sdk, FrameOutlivesItsSetAndHoldsAPicture) {
    use(kNonRealtime);
    vt_pipeline* pipe = start();
    vt_frame* set = vt_pipeline_wait_for_frames(pipe, 100, &error);
    vt_frame* color = vt_frame_set_color_frame(set, &error);
    vt_frame* depth = vt_frame_set_depth_frame(set, &error);
    ASSERT_NE(color, nullptr);
    ASSERT_NE(depth, nullptr);
    vt_delete_frame_set(set, &error);
    ASSERT_EQ(error, nullptr);

    EXPECT_EQ(vt_frame_get_type(color, &error), VT_FRAME_COLOR);
    EXPECT_EQ(vt_frame_format(color, &error), VT_FORMAT_MJPG);
    uint32_t size = vt_frame_data_size(color, &error);
    cv::Mat raw(1, (int)size, CV_8UC1, vt_frame_data(color, &error));
    cv::Mat picture = cv::imdecode(raw, cv::IMREAD_COLOR);
    EXPECT_EQ(picture.cols, 1280);
    EXPECT_EQ(picture.rows, 720);

    // Depth: Y16 millimetres, with some pixels that carry no data.
    ASSERT_EQ(vt_frame_format(depth, &error), VT_FORMAT_Y16);
    uint32_t w = vt_frame_width(depth, &error), h = vt_frame_height(depth, &error);
    ASSERT_EQ(vt_frame_data_size(depth, &error), w * h * 2);
    const uint16_t* mm = (const uint16_t*)vt_frame_data(depth, &error);
    uint32_t zeros = 0, lo = 65535, hi = 0;
    for (uint32_t i = 0; i < w * h; i++) {
        if (mm[i] == 0) {
            zeros++;
        } else {
            lo = std::min<uint32_t>(lo, mm[i]);
            hi = std::max<uint32_t>(hi, mm[i]);
        }
    }
    EXPECT_GT(zeros, 0u);
    EXPECT_LT(zeros, w * h / 8);
    EXPECT_GE(lo, 250u);
    EXPECT_LE(hi, 1020u);  // inside what a x0.25 grey rendering shows
    vt_delete_frame(color, &error);
    vt_delete_frame(depth, &error);
    EXPECT_EQ(error, nullptr);
}

// The bytes of the first colour frame that the scenario's camera sends.
std::vector<uint8_t> first_color_frame(vt_pipeline* pipe) {
    vt_error* error = nullptr;
    vt_frame* set = vt_pipeline_wait_for_frames(pipe, 100, &error);
    vt_frame* color = vt_frame_set_color_frame(set, &error);
    const uint8_t* data = (const uint8_t*)vt_frame_data(color, &error);
    std::vector<uint8_t> bytes(data, data + vt_frame_data_size(color, &error));
    vt_delete_frame_set(set, &error);
    vt_delete_frame(color, &error);
    EXPECT_EQ(error, nullptr);
    return bytes;
}

// The markers of the segments before the scan, and the luma sampling factors
// of the frame header.
std::string segments(const std::vector<uint8_t>& jpeg, int* luma_sampling) {
    std::string markers;
    for (size_t at = 2; at + 4 <= jpeg.size() && jpeg[at + 1] != 0xda;
         at += 2 + (jpeg[at + 2] << 8 | jpeg[at + 3])) {
        char name[8];
        snprintf(name, sizeof name, "%02X ", jpeg[at + 1]);
        markers += name;
        if (jpeg[at + 1] == 0xc0) *luma_sampling = jpeg[at + 11];
    }
    return markers;
}

TEST_F(Sdk, ColourFramesAreCodedAsACameraCodesThem) {
    int sampling = 0;
    use(kNonRealtime);
    std::vector<uint8_t> usual = first_color_frame(start());
    EXPECT_EQ(std::string(usual.begin() + 6, usual.begin() + 10), "AVI1");
    EXPECT_NE(segments(usual, &sampling).find("C4"), std::string::npos);
    EXPECT_EQ(sampling, 0x21);  // 4:2:2

    use(R"({"stream": {"realtime": false, "color": {"subsampling": "420", "quality": 60}}})");
    std::vector<uint8_t> tables = first_color_frame(start());
    use(R"({"stream": {"realtime": false, "color": {"subsampling": "420", "quality": 60,
                                                    "huffman_tables": false, "padding": 100}}})");
    std::vector<uint8_t> bare = first_color_frame(start());
    EXPECT_EQ(segments(bare, &sampling).find("C4"), std::string::npos);
    EXPECT_EQ(sampling, 0x22);  // 4:2:0
    ASSERT_GT(bare.size(), 102u);
    EXPECT_EQ(std::vector<uint8_t>(bare.end() - 100, bare.end()), std::vector<uint8_t>(100, 0));
    EXPECT_EQ(bare[bare.size() - 101], 0xd9);  // end of image, then the padding
    // Without tables a decoder takes the standard ones, which the encoder used.
    cv::Mat with = cv::imdecode(tables, cv::IMREAD_COLOR);
    cv::Mat without = cv::imdecode(bare, cv::IMREAD_COLOR);
    ASSERT_EQ(without.size(), cv::Size(1280, 720));
    EXPECT_EQ(cv::norm(with, without, cv::NORM_INF), 0);
}

TEST_F(Sdk, PatternShapesTheSets) {
    use(R"({"stream": {"realtime": false, "framesets": 6,
            "pattern": ["color_only", "depth_only", "empty", "bad_color", "short_color", "truncated_depth"]}})");
    vt_pipeline* pipe = start();
    struct Expected {
        bool color, depth;
    } expected[] = {{true, false}, {false, true}, {false, false},
                    {true, true},  {true, true},  {true, true}};
    for (int i = 0; i < 6; i++) {
        SCOPED_TRACE(i);
        vt_frame* set = vt_pipeline_wait_for_frames(pipe, 100, &error);
        ASSERT_NE(set, nullptr);
        vt_frame* color = vt_frame_set_color_frame(set, &error);
        vt_frame* depth = vt_frame_set_depth_frame(set, &error);
        EXPECT_EQ(error, nullptr);
        EXPECT_EQ(color != nullptr, expected[i].color);
        EXPECT_EQ(depth != nullptr, expected[i].depth);
        if (i == 3) {
            uint32_t size = vt_frame_data_size(color, &error);
            EXPECT_GE(size, 1024u);
            cv::Mat raw(1, (int)size, CV_8UC1, vt_frame_data(color, &error));
            EXPECT_TRUE(cv::imdecode(raw, cv::IMREAD_COLOR).empty());
        }
        if (i == 4) {
            EXPECT_LT(vt_frame_data_size(color, &error), 1024u);
        }
        if (i == 5) {
            uint32_t size = vt_frame_data_size(depth, &error);
            EXPECT_GE(size, 1024u);
            EXPECT_LT(size, vt_frame_width(depth, &error) * vt_frame_height(depth, &error) * 2);
        }
        for (vt_frame* f : {color, depth}) {
            if (f != nullptr) vt_delete_frame(f, &error);
        }
        vt_delete_frame_set(set, &error);
    }
    // After the last set, waits time out: null and no error.
    EXPECT_EQ(vt_pipeline_wait_for_frames(pipe, 20, &error), nullptr);
    EXPECT_EQ(error, nullptr);
}

TEST_F(Sdk, RealtimeStreamDeliversAndStops) {
    vt_pipeline* pipe = start();
    vt_frame* set = vt_pipeline_wait_for_frames(pipe, 30000, &error);
    ASSERT_NE(set, nullptr);
    vt_delete_frame_set(set, &error);
    vt_pipeline_stop(pipe, &error);
    EXPECT_EQ(error, nullptr);
    vt_pipeline_stop(pipe, &error);
    expect_error("vt_pipeline_stop", "pipeline", VT_EXCEPTION_INVALID_STATE, "not started");
    vt_pipeline_wait_for_frames(pipe, 10, &error);
    expect_error("vt_pipeline_wait_for_frames", "pipeline, 10", VT_EXCEPTION_INVALID_STATE,
                 "not been started");
}

TEST_F(Sdk, StatsCountDeliveriesReleasesAndLeaks) {
    use(R"({"stream": {"realtime": false, "framesets": 3}})");
    vt_pipeline* pipe = start();
    vt_frame* a = vt_pipeline_wait_for_frames(pipe, 100, &error);
    vt_frame* b = vt_pipeline_wait_for_frames(pipe, 100, &error);
    vt_frame* c = vt_pipeline_wait_for_frames(pipe, 100, &error);
    vt_frame* color = vt_frame_set_color_frame(a, &error);
    // The set was made by the wait: read 50 ms later, its latency is at least that.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    vt_frame_data(color, &error);
    vt_frame_data(color, &error);  // a second fetch is not a second read
    vt_frame* depth = vt_frame_set_depth_frame(a, &error);
    vt_delete_frame_set(a, &error);
    vt_delete_frame_set(b, &error);
    vt_delete_frame(color, &error);
    vt_pipeline_stop(pipe, &error);
    vt_delete_pipeline(pipe, &error);
    ASSERT_EQ(error, nullptr);
    nlohmann::json s = dir.stats();
    EXPECT_EQ(s["framesets_delivered"], 3);
    EXPECT_EQ(s["framesets_released"], 2);
    EXPECT_EQ(s["framesets_alive_peak"], 3);
    EXPECT_EQ(s["framesets_read"], 1);
    EXPECT_EQ(s["frames_extracted"], 2);
    EXPECT_EQ(s["frames_released"], 1);
    EXPECT_EQ(s["frames_read"], 1);
    EXPECT_EQ(s["leaked_framesets"], 1);
    EXPECT_EQ(s["leaked_frames"], 1);
    EXPECT_GE(s["latency_ms_p50"].get<double>(), 50.0);
    EXPECT_GE(s["latency_ms_p99"].get<double>(), 50.0);
    (void)c;
    (void)depth;
}

// A reader that falls behind loses the oldest sets, as a camera's queue does,
// and the statistics count them.
TEST_F(Sdk, SetsNotWaitedForAreDiscardedAndCounted) {
    use(R"({"stream": {"framesets": 8}})");
    vt_pipeline* pipe = start();
    // The camera makes all its sets before the first wait: the queue keeps
    // the newest two.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (sim::framesets_queued(pipe) < 8 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(sim::framesets_queued(pipe), 8u);
    int received = 0;
    while (vt_frame* set = vt_pipeline_wait_for_frames(pipe, 200, &error)) {
        received++;
        vt_delete_frame_set(set, &error);
    }
    vt_pipeline_stop(pipe, &error);
    vt_delete_pipeline(pipe, &error);
    ASSERT_EQ(error, nullptr);
    nlohmann::json s = dir.stats();
    EXPECT_EQ(received, 2);
    EXPECT_EQ(s["framesets_delivered"], 2);
    EXPECT_EQ(s["framesets_discarded"], 6);
}

TEST_F(Sdk, TraceShowsEveryCallWithItsArguments) {
    use(kNonRealtime);
    vt_get_major_version();
    vt_pipeline* pipe = start();
    vt_frame* set = vt_pipeline_wait_for_frames(pipe, 100, &error);
    vt_delete_frame_set(set, &error);
    vt_error_message(error);  // accessors are not traced
    std::vector<std::string> expected = {
        "vt_get_major_version()",
        "vt_create_pipeline()",
        "vt_create_config()",
        "vt_pipeline_get_stream_profiles(pipeline, 3, &count)",
        "vt_config_enable_stream(config, depth[0])",
        "vt_pipeline_get_stream_profiles(pipeline, 2, &count)",
        "vt_config_enable_stream(config, color[3])",
        "vt_pipeline_start_with_config(pipeline, config)",
        "vt_pipeline_wait_for_frames(pipeline, 100)",
        "vt_delete_frame_set(frameset)",
    };
    EXPECT_EQ(dir.trace(), expected);
}

TEST_F(Sdk, FaultFailsTheNthCallOnly) {
    use(R"({"faults": [{"call": "vt_create_config", "nth": 2, "message": "boom", "type": 0},
                       {"call": "vt_create_context", "args": "custom", "message": "no", "type": 5}]})");
    EXPECT_NE(vt_create_config(&error), nullptr);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(vt_create_config(&error), nullptr);
    expect_error("vt_create_config", "", VT_EXCEPTION_UNKNOWN, "boom");
    EXPECT_NE(vt_create_config(&error), nullptr);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(vt_create_context(&error), nullptr);
    expect_error("vt_create_context", "custom", VT_EXCEPTION_IO, "no");
}

TEST_F(Sdk, NoCamera) {
    use(R"({"devices": []})");
    vt_context* ctx = vt_create_context(&error);
    vt_device_list* list = vt_query_device_list(ctx, &error);
    EXPECT_EQ(vt_device_list_device_count(list, &error), 0);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(vt_get_device(list, 0, &error), nullptr);
    expect_error("vt_get_device", "device_list, 0", VT_EXCEPTION_INVALID_ARGUMENT, "out of range");
    EXPECT_EQ(vt_create_pipeline(&error), nullptr);
    expect_error("vt_create_pipeline", "", VT_EXCEPTION_NO_DEVICE, "no camera");
}

TEST_F(Sdk, ScenarioKeysReplaceDefaults) {
    use(R"({"sdk_version": [2, 7, 9],
            "devices": [{"name": "Bench cam", "pid": 17, "sensors": ["depth", 0, 7],
                         "profiles": {"color": [{"format": 9, "width": 8, "height": 4, "fps": 5}]}}]})");
    EXPECT_EQ(vt_get_major_version() * 100 + vt_get_minor_version() * 10 + vt_get_patch_version(),
              279);
    vt_context* ctx = vt_create_context(&error);
    vt_device* dev = vt_get_device(vt_query_device_list(ctx, &error), 0, &error);
    vt_device_info* info = vt_device_get_device_info(dev, &error);
    EXPECT_STREQ(vt_device_info_name(info, &error), "Bench cam");
    EXPECT_EQ(vt_device_info_pid(info, &error), 17);
    EXPECT_STREQ(vt_device_info_serial_number(info, &error), "SIM00000001");  // kept default
    vt_sensor_list* sensors = vt_device_get_sensor_list(dev, &error);
    ASSERT_EQ(vt_sensor_list_get_sensor_count(sensors, &error), 3);
    EXPECT_EQ(vt_sensor_list_get_sensor_type(sensors, 0, &error), VT_SENSOR_DEPTH);
    EXPECT_EQ((uint32_t)vt_sensor_list_get_sensor_type(sensors, 2, &error), 7u);
    vt_pipeline* pipe = vt_create_pipeline(&error);
    uint32_t count = 0;
    vt_stream_profile** color =
        vt_pipeline_get_stream_profiles(pipe, VT_SENSOR_COLOR, &count, &error);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(vt_stream_profile_format(color[0], &error), VT_FORMAT_Y8);
    EXPECT_EQ(vt_stream_profile_fps(color[0], &error), 5u);
    vt_pipeline_get_stream_profiles(pipe, VT_SENSOR_DEPTH, &count, &error);
    EXPECT_EQ(count, 8u);  // kept default
    EXPECT_EQ(error, nullptr);
}

struct BadScenario {
    std::string text;
    const char* problem;
};

// A scenario of valid JSON with one value more than the SDK reads.
std::string more_values_than_read() {
    std::string text = "{\"faults\": [";
    for (int i = 0; i < 100000; i++) text += "0,";
    return text + "0]}";
}

void PrintTo(const BadScenario& b, std::ostream* os) {
    *os << b.problem;
}

class SdkBadScenario : public Sdk, public ::testing::WithParamInterface<BadScenario> {};

TEST_P(SdkBadScenario, EveryCallFailsNamingFileAndProblem) {
    use_file(GetParam().text);
    EXPECT_EQ(vt_create_context(&error), nullptr);
    std::string file = "scenario file '" + dir.path("scenario.json") + "'";
    expect_error("vt_create_context", "", VT_EXCEPTION_CONFIGURATION, file);
    expect_error("vt_create_context", "", VT_EXCEPTION_CONFIGURATION, GetParam().problem);
    EXPECT_EQ(vt_create_pipeline(&error), nullptr);
    EXPECT_NE(error, nullptr);
    EXPECT_EQ(vt_get_major_version(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SdkBadScenario,
    ::testing::Values(
        BadScenario{"{\"devices\": [", "not valid JSON"}, BadScenario{"", "not valid JSON"},
        BadScenario{"[1, 2]", "scenario: must be an object"},
        BadScenario{R"({"device": []})", "unknown key \"device\""},
        BadScenario{R"({"devices": [{"pid": "7"}]})", "devices[0].pid: must be a whole number"},
        BadScenario{R"({"devices": [{"sensors": ["lidar"]}]})", "unknown name \"lidar\""},
        BadScenario{
            R"({"devices": [{"profiles": {"depth": [{"format": "Y16", "width": 4, "height": 4}]}}]})",
            "devices[0].profiles.depth[0]: \"fps\" is missing"},
        BadScenario{
            R"({"devices": [{"profiles": {"color": [{"format": "H264", "width": 4, "height": 4, "fps": 1}]}}]})",
            "unknown name \"H264\""},
        BadScenario{R"({"faults": [{"call": "vt_error_message"}]})", "not an SDK function"},
        BadScenario{R"({"faults": [{"call": "vt_create_config", "nth": 0}]})",
                    "faults[0].nth: must be from 1"},
        BadScenario{R"({"stream": {"pattern": []}})", "stream.pattern: must not be empty"},
        BadScenario{R"({"stream": {"pattern": ["some"]}})", "unknown name \"some\""},
        BadScenario{R"({"stream": {"realtime": 1}})", "stream.realtime: must be true or false"},
        BadScenario{R"({"sdk_version": [1, 2]})", "must list major, minor and patch"},
        BadScenario{R"({"stream": {"source": ""}})", "stream.source: must name a folder"},
        BadScenario{R"({"stream": {"source": "rec\u0000/x"}})",
                    "stream.source: must not hold a NUL character"},
        BadScenario{R"({"stream": {"color": {"subsampling": 420}}})",
                    "stream.color.subsampling: must be a string"},
        BadScenario{R"({"stream": {"color": {"quality": 0}}})",
                    "stream.color.quality: must be from 1 to 100"},
        BadScenario{more_values_than_read(), "holds more than 100000 values"},
        BadScenario{R"({"stream": {"recorded": {}}})",
                    "stream.recorded: needs \"source\", the folder that was recorded"},
        BadScenario{
            R"({"stream": {"source": "rec", "recorded": {
                "depth": {"format": "Y16", "width": 640, "height": 480, "fps": 30},
                "color": {"format": "MJPG", "width": 640, "height": 480, "fps": 25}}}})",
            "stream.recorded.color: MJPG 640x480 at 25 fps is not in devices[0].profiles.color"}));

// The SDK's own files are closed on exec, so that a program's children do not
// inherit them, and never take descriptors 0 to 2, even when one is closed.
TEST_F(Sdk, OwnFilesAreCloseOnExecAndAboveTheStandardOnes) {
    int saved_stdin = dup(0);
    ASSERT_GE(saved_stdin, 0);
    close(0);
    use("");
    vt_get_major_version();  // opens the trace
    bool closed_stdin = fcntl(0, F_GETFD) == -1;
    dup2(saved_stdin, 0);
    close(saved_stdin);
    EXPECT_TRUE(closed_stdin) << "the SDK took descriptor 0";
    std::string trace = dir.path("trace.txt");
    int found = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(entry.path(), ec) != trace) continue;
        int fd = std::stoi(entry.path().filename().string());
        found++;
        EXPECT_GT(fd, 2);
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "descriptor " << fd;
    }
    EXPECT_EQ(found, 1) << trace;
}

// The flaky example, played as fast as it is waited for: its sets come until
// the 300th wait, which fails as an unplugged camera.
TEST_F(Sdk, FlakyExampleFailsItsThreeHundredthWait) {
    std::ifstream file(std::string(VANTRA_EXAMPLES_DIR) + "/flaky-stream.json");
    nlohmann::json scenario = nlohmann::json::parse(file);
    scenario["stream"]["realtime"] = false;
    use(scenario.dump());
    vt_pipeline* pipe = start();
    for (int i = 1; i < 300; i++) {
        vt_frame* set = vt_pipeline_wait_for_frames(pipe, 100, &error);
        ASSERT_EQ(error, nullptr) << "wait " << i << ": " << vt_error_message(error);
        vt_delete_frame_set(set, &error);
    }
    EXPECT_EQ(vt_pipeline_wait_for_frames(pipe, 100, &error), nullptr);
    expect_error("vt_pipeline_wait_for_frames", "pipeline, 100", VT_EXCEPTION_NO_DEVICE,
                 "the camera was unplugged");
    vt_delete_pipeline(pipe, &error);
}

TEST_F(Sdk, ExampleScenariosAreValid) {
    auto device_count = [&](const std::string& file) {
        setenv("VANTRA_SIM_SCENARIO", (std::string(VANTRA_EXAMPLES_DIR) + "/" + file).c_str(), 1);
        sim::reset();
        vt_context* ctx = vt_create_context(&error);
        EXPECT_EQ(error, nullptr) << file << ": " << vt_error_message(error);
        return error ? -1 : vt_device_list_device_count(vt_query_device_list(ctx, &error), &error);
    };
    EXPECT_EQ(device_count("bench-camera.json"), 1);
    EXPECT_EQ(vt_get_major_version(), 2);
    EXPECT_EQ(device_count("flaky-stream.json"), 1);
    EXPECT_EQ(device_count("no-camera.json"), 0);
    EXPECT_EQ(device_count("camera.json"), 1);
    EXPECT_EQ(device_count("camera-lost.json"), 1);
    EXPECT_EQ(device_count("fault-at-start.json"), 1);
}

TEST_F(Sdk, MissingScenarioFileIsAnError) {
    setenv("VANTRA_SIM_SCENARIO", dir.path("absent.json").c_str(), 1);
    sim::reset();
    vt_create_context(&error);
    expect_error("vt_create_context", "", VT_EXCEPTION_CONFIGURATION,
                 "absent.json': cannot be read");
}

// The library exports the functions that the header declares and nothing
// else, without symbol versions, so that a program built against it loads a
// vendor's library unchanged; the SDK names them once, in functions.def.
TEST(SdkFunctions, LibraryExportsWhatTheHeaderDeclares) {
    std::set<std::string> listed, declared, exported;
#define VT_FUNCTION(name, error_slot) listed.insert(#name);
#include "functions.def"
    std::ifstream header(VANTRA_SDK_HEADER);
    ASSERT_TRUE(header) << VANTRA_SDK_HEADER;
    const std::regex declaration(R"(\b(vt_\w+)\()");
    for (std::string line; std::getline(header, line);) {
        std::smatch m;
        if (line.rfind("//", 0) != 0 && std::regex_search(line, m, declaration)) {
            declared.insert(m[1]);
        }
    }
    std::string command = "nm -D --defined-only '" VANTRA_SDK_LIBRARY "'";
    FILE* nm = popen(command.c_str(), "r");
    ASSERT_NE(nm, nullptr);
    char line[512];
    while (fgets(line, sizeof line, nm) != nullptr) {
        std::istringstream words(line);
        std::string address, type, name;
        if (words >> address >> type >> name) exported.insert(name);
    }
    ASSERT_EQ(pclose(nm), 0) << command;
    EXPECT_EQ(declared.size(), 44u);
    EXPECT_EQ(exported, declared);
    EXPECT_EQ(listed, declared);
}

}  // namespace
