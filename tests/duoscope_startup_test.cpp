// Duoscope's start-up, run as a program: the choice of the two stream
// profiles, the order of the calls, and the error report of a failed call.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

using harness::find_line;

// Ends Duoscope at the pipeline start, so that the trace shows the whole
// start-up and nothing after it.
const char* kStopAtStart =
    R"("faults": [{"call": "vt_pipeline_start_with_config", "message": "stop here", "type": 3}])";

std::string profiles_scenario(const std::string& depth, const std::string& color) {
    return std::string(R"({"devices": [{"profiles": {"depth": [)") + depth + R"(], "color": [)" +
           color + "]}}], " + kStopAtStart + "}";
}

std::string p(const char* format, int fps) {
    return std::string(R"({"format": ")") + format + R"(", "width": 640, "height": 480, "fps": )" +
           std::to_string(fps) + "}";
}

struct Startup {
    harness::Scratch dir;
    harness::Result result;
    std::vector<std::string> trace;
    explicit Startup(const std::string& scenario,
                     harness::Process::Output out = harness::Process::Output::file) {
        result = harness::run(harness::bin("duoscope"), dir.sim_env(scenario), out);
        trace = dir.trace();
    }
};

TEST(DuoscopeStartup, TakesTheFirstMatchingDepthProfileAndLooksNoFurther) {
    Startup s(
        profiles_scenario(p("Y16", 15) + "," + p("YUYV", 30) + "," + p("Y16", 30), p("MJPG", 30)));
    EXPECT_NE(find_line(s.trace, "vt_stream_profile_fps(depth[1])"), -1);
    EXPECT_EQ(find_line(s.trace, "vt_stream_profile_format(depth[2])"), -1);
    EXPECT_NE(find_line(s.trace, "vt_config_enable_stream(config, depth[1])"), -1);
}

TEST(DuoscopeStartup, FallsBackToTheFirstEntryWhenNothingMatches) {
    // Depth at 30 fps but in Y8, MJPEG only at 15 and 60 fps.
    Startup s(profiles_scenario(p("Y16", 15) + "," + p("Y8", 30) + "," + p("YUYV", 60),
                                p("YUYV", 30) + "," + p("MJPG", 60) + "," + p("MJPG", 15)));
    EXPECT_NE(find_line(s.trace, "vt_stream_profile_fps(depth[2])"), -1);
    EXPECT_NE(find_line(s.trace, "vt_config_enable_stream(config, depth[0])"), -1);
    EXPECT_NE(find_line(s.trace, "vt_stream_profile_fps(color[2])"), -1);
    EXPECT_NE(find_line(s.trace, "vt_config_enable_stream(config, color[0])"), -1);
}

TEST(DuoscopeStartup, DefaultCameraGivesTheWholeStartupInOrder) {
    Startup s(std::string("{") + kStopAtStart + "}");
    std::vector<std::string> calls;
    for (const std::string& line : s.trace) {
        if (line.find("vt_stream_profile_") == std::string::npos) calls.push_back(line);
    }
    std::vector<std::string> expected = {
        "vt_create_pipeline()",
        "vt_create_config()",
        "vt_pipeline_get_stream_profiles(pipeline, 3, &count)",
        "vt_config_enable_stream(config, depth[4])",  // Y16 640x480 at 30 fps
        "vt_pipeline_get_stream_profiles(pipeline, 2, &count)",
        "vt_config_enable_stream(config, color[3])",  // MJPEG 1280x720 at 30 fps, the fourth
        "vt_pipeline_disable_frame_sync(pipeline)",
        "vt_pipeline_start_with_config(pipeline, config)",
    };
    EXPECT_EQ(calls, expected);
    // Format, then frame rate, for each examined entry and no other.
    EXPECT_EQ(s.trace[3], "vt_stream_profile_format(depth[0])");
    EXPECT_EQ(s.trace[4], "vt_stream_profile_fps(depth[0])");
    EXPECT_EQ(harness::count_lines(s.trace, "vt_stream_profile_format(color"), 4);
    EXPECT_EQ(harness::count_lines(s.trace, "vt_stream_profile_width"), 0);

    // A failed start: the report and status 1, before any window or thread.
    EXPECT_EQ(s.result.status, 1);
    EXPECT_EQ(s.result.out,
              "vt_error was raised when calling vt_pipeline_start_with_config(pipeline, config):\n"
              "error message:    stop here\n"
              "error Type:    3\n");
    EXPECT_EQ(s.result.err, "");
    EXPECT_EQ(s.trace.back(), "vt_pipeline_start_with_config(pipeline, config)");
}

TEST(DuoscopeStartup, ReportIsWholeInAFileAndInAPipe) {
    const char* scenario =
        R"({"faults": [{"call": "vt_create_config", "args": "", "message": "no config", "type": 0}]})";
    const char* report =
        "vt_error was raised when calling vt_create_config():\n"
        "error message:    no config\n"
        "error Type:    0\n";
    for (auto out : {harness::Process::Output::file, harness::Process::Output::pipe}) {
        Startup s(scenario, out);
        EXPECT_EQ(s.result.status, 1);
        EXPECT_EQ(s.result.out, report);
    }
}

TEST(DuoscopeStartup, NoCameraEndsWithTheReport) {
    Startup s(R"({"devices": []})");
    EXPECT_EQ(s.result.status, 1);
    EXPECT_EQ(s.result.out,
              "vt_error was raised when calling vt_create_pipeline():\n"
              "error message:    no camera is connected\n"
              "error Type:    4\n");
}

TEST(DuoscopeStartup, EmptyProfileListIsReportedNotRead) {
    Startup depth(R"({"devices": [{"profiles": {"depth": []}}]})");
    EXPECT_EQ(depth.result.status, 1);
    EXPECT_EQ(depth.result.out, "No depth stream profile found!\n");
    EXPECT_EQ(find_line(depth.trace, "vt_stream_profile_format"), -1);

    Startup color(R"({"devices": [{"profiles": {"color": []}}]})");
    EXPECT_EQ(color.result.status, 1);
    EXPECT_EQ(color.result.out, "No color stream profile found!\n");
    EXPECT_NE(find_line(color.trace, "vt_config_enable_stream(config, depth[4])"), -1);
}

TEST(DuoscopeStartup, BadScenarioFileIsAnSdkFailure) {
    Startup s("{\"stream\": {\"framesets\": -1}}");
    EXPECT_EQ(s.result.status, 1);
    EXPECT_EQ(s.result.out.rfind("vt_error was raised when calling vt_create_pipeline():\n"
                                 "error message:    scenario file '",
                                 0),
              0u)
        << s.result.out;
    EXPECT_NE(s.result.out.find("stream.framesets: must be from 0"), std::string::npos);
    EXPECT_NE(s.result.out.find("error Type:    6\n"), std::string::npos);
}

}  // namespace
