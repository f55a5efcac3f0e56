// Camrecord run as a person would: a camera recorded into a folder, the
// folder replayed as that camera by the other programs and by Camrecord
// itself, and the inputs that must leave no half-written recording behind.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "harness.h"
#include "pty_session.h"

namespace {

namespace fs = std::filesystem;
using harness::read_file;
using json = nlohmann::json;
using Names = std::vector<std::string>;

// Every name in the folder, hidden ones too, in byte-wise order.
Names names(const std::string& folder) {
    Names list;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        list.push_back(entry.path().filename().string());
    }
    std::sort(list.begin(), list.end());
    return list;
}

Names numbered(int count, const char* extension) {
    Names list;
    for (int i = 0; i < count; i++) {
        char name[32];
        snprintf(name, sizeof name, "%06d%s", i, extension);
        list.push_back(name);
    }
    return list;
}

// A whole recording: scenario.json beside the two folders, and in them the
// same count of numbered files and nothing else. Gives the count.
int whole_recording(const std::string& folder) {
    EXPECT_EQ(names(folder), (Names{"color", "depth", "scenario.json"}));
    int count = (int)names(folder + "/color").size();
    EXPECT_EQ(names(folder + "/color"), numbered(count, ".jpg"));
    EXPECT_EQ(names(folder + "/depth"), numbered(count, ".png"));
    return count;
}

cv::Mat depth_of(const std::string& path) {
    cv::Mat m = cv::imread(path, cv::IMREAD_UNCHANGED);
    EXPECT_EQ(m.type(), CV_16UC1) << path;
    return m;
}

bool same_values(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// Pictures made by ImageMagick: colour JPEGs with a disc that moves, and
// 16-bit grey depth from a seeded fractal, or flat when asked.
void make_source(const std::string& folder, int count, bool flat_depth_but_last = false) {
    fs::create_directories(folder + "/color");
    fs::create_directories(folder + "/depth");
    // magick from ImageMagick 7 on, where convert is deprecated.
    std::string script = "im=$(command -v magick || echo convert) && ";
    for (int i = 0; i < count; i++) {
        std::string n = std::to_string(i);
        std::string x = std::to_string(10 + 12 * i);
        std::string depth = flat_depth_but_last && i + 1 < count
                                ? "xc:'gray(40%)'"
                                : "-seed " + n + " plasma:fractal -colorspace gray";
        script += "$im -size 96x64 gradient:red-blue -fill white -draw 'circle " + x + ",32 " +
                  x + ",40' -quality 85 '" + folder + "/color/" + n + ".jpg' && ";
        script += "$im -size 80x50 " + depth +
                  " -depth 16 -define png:color-type=0 -define png:bit-depth=16 '" + folder +
                  "/depth/" + n + ".png' && ";
    }
    ASSERT_EQ(std::system((script + "true").c_str()), 0) << script;
}

std::map<std::string, std::string> camera(const std::string& scenario,
                                          const std::string& trace = "") {
    std::map<std::string, std::string> env{{"VANTRA_SIM_SCENARIO", scenario}};
    if (!trace.empty()) env["VANTRA_SIM_TRACE"] = trace;
    return env;
}

harness::Result camrecord(const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env) {
    std::vector<std::string> command{harness::bin("camrecord")};
    command.insert(command.end(), args.begin(), args.end());
    return harness::run(command, env);
}

// The scenario file with changes, written beside it under another name; a
// relative source keeps pointing at the same folder.
std::string changed(const harness::Scratch& dir, const std::string& scenario,
                    const std::string& name, const json& changes) {
    json j = json::parse(read_file(scenario));
    j.merge_patch(changes);
    if (j["stream"].contains("source")) {
        j["stream"]["source"] = fs::absolute(fs::path(scenario).parent_path() /
                                             j["stream"]["source"].get<std::string>())
                                    .lexically_normal()
                                    .string();
    }
    return dir.write(name, j.dump());
}

// A camera unlike the simulated default, playing the ImageMagick pictures.
// Duoscope's rule takes depth[2] and color[2]; of the six sets only the
// first, fourth and sixth hold two good frames.
const char* kCamera = R"({
  "sdk_version": [3, 1, 4],
  "devices": [{"name": "Workbench RGB-D Unit 7", "pid": 1234, "vid": 32902, "uid": "2-1.4",
               "firmware_version": "3.14.159", "serial_number": "WB-0007",
               "sensors": ["ir", "depth", 7, "color", "imu"],
               "profiles": {
                 "depth": [{"format": "Y8", "width": 640, "height": 400, "fps": 30},
                           {"format": "Y16", "width": 1280, "height": 800, "fps": 15},
                           {"format": "Y16", "width": 640, "height": 400, "fps": 30},
                           {"format": "YUYV", "width": 320, "height": 200, "fps": 30}],
                 "color": [{"format": "YUYV", "width": 1280, "height": 720, "fps": 30},
                           {"format": "MJPG", "width": 1920, "height": 1080, "fps": 60},
                           {"format": "MJPG", "width": 848, "height": 480, "fps": 30},
                           {"format": "MJPG", "width": 1280, "height": 720, "fps": 30}]}}],
  "stream": {"realtime": false, "framesets": 6, "source": "src",
             "pattern": ["both", "depth_only", "bad_color", "both", "truncated_depth", "both"],
             "recorded": {"depth": {"format": "Y16", "width": 640, "height": 400, "fps": 30},
                          "color": {"format": "MJPG", "width": 848, "height": 480, "fps": 30}}}})";

const json kStopAtStart = {
    {"faults", {{{"call", "vt_pipeline_start_with_config"}, {"message", "stop here"}}}}};

TEST(Camrecord, RecordingReplaysAsTheSameCameraWithTheSameFrames) {
    harness::Scratch dir;
    make_source(dir.path("src"), 6);
    std::string original = dir.write("camera.json", kCamera);
    std::string rec = dir.path("rec");
    harness::Result r = camrecord({rec, "1"}, camera(original));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.substr(0, 8), "3 sets, ") << r.out;

    // The sets with both good frames, in order: the source's 0, 3 and 5.
    ASSERT_EQ(whole_recording(rec), 3);
    const int source_of[] = {0, 3, 5};
    for (int i = 0; i < 3; i++) {
        std::string n = std::to_string(source_of[i]);
        EXPECT_EQ(read_file(rec + "/color/" + numbered(3, ".jpg")[i]),
                  read_file(dir.path("src/color/" + n + ".jpg")))
            << i;
        EXPECT_TRUE(same_values(depth_of(rec + "/depth/" + numbered(3, ".png")[i]),
                                depth_of(dir.path("src/depth/" + n + ".png"))))
            << i;
    }

    // Camprobe's report, byte for byte.
    harness::Result probe = harness::run(harness::bin("camprobe"), camera(original));
    harness::Result replay = harness::run(harness::bin("camprobe"), camera(rec + "/scenario.json"));
    EXPECT_EQ(probe.status, 0);
    EXPECT_NE(probe.out.find("Workbench RGB-D Unit 7"), std::string::npos);
    EXPECT_EQ(replay.out, probe.out);

    // Duoscope's start-up, up to the pipeline's start: the same calls on the
    // same list entries.
    std::string before = changed(dir, original, "duoscope-before.json", kStopAtStart);
    std::string after = changed(dir, rec + "/scenario.json", "duoscope-after.json", kStopAtStart);
    harness::run(harness::bin("duoscope"), camera(before, dir.path("before.txt")));
    harness::run(harness::bin("duoscope"), camera(after, dir.path("after.txt")));
    std::string trace = read_file(dir.path("before.txt"));
    EXPECT_NE(trace.find("vt_config_enable_stream(config, depth[2])\n"), std::string::npos);
    EXPECT_NE(trace.find("vt_config_enable_stream(config, color[2])\n"), std::string::npos);
    EXPECT_EQ(read_file(dir.path("after.txt")), trace);

    // Recorded again from the replay, as fast as it plays: the frames of the
    // recording in their order, looped, and the same camera.
    std::string fast = changed(dir, rec + "/scenario.json", "fast.json",
                               {{"stream", {{"realtime", false}, {"framesets", 7}}}});
    std::string again = dir.path("again");
    r = camrecord({again, "1"}, camera(fast));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_EQ(whole_recording(again), 7);
    for (int i = 0; i < 7; i++) {
        EXPECT_EQ(read_file(again + "/color/" + numbered(7, ".jpg")[i]),
                  read_file(rec + "/color/" + numbered(3, ".jpg")[i % 3]))
            << i;
        EXPECT_TRUE(same_values(depth_of(again + "/depth/" + numbered(7, ".png")[i]),
                                depth_of(rec + "/depth/" + numbered(3, ".png")[i % 3])))
            << i;
    }
    EXPECT_EQ(json::parse(read_file(again + "/scenario.json")),
              json::parse(read_file(rec + "/scenario.json")));
}

TEST(Camrecord, BadInputGetsAMessageAndLeavesNoRecording) {
    harness::Scratch dir;
    std::string defaults = dir.write("defaults.json", R"({"stream": {"realtime": false}})");
    std::string rec = dir.path("rec");
    const char* usage = "Usage: camrecord FOLDER [SECONDS]\n";

    harness::Result r = camrecord({}, camera(defaults));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, usage);
    for (const char* seconds : {"0", "-2", "abc", "3s", "nan", "inf", ""}) {
        r = camrecord({rec, seconds}, camera(defaults));
        EXPECT_EQ(r.status, 2) << seconds;
        EXPECT_EQ(r.err, std::string("camrecord: SECONDS must be a number above 0, not '") +
                             seconds + "'\n" + usage);
    }
    EXPECT_FALSE(fs::exists(rec));

    // A folder with anything in it is never written to; nor is a file.
    fs::create_directories(dir.path("full"));
    dir.write("full/notes.txt", "keep me");
    r = camrecord({dir.path("full"), "1"}, camera(defaults));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "camrecord: cannot record into " + dir.path("full") +
                         ": it is not empty; give a new or an empty folder\n");
    EXPECT_EQ(names(dir.path("full")), Names{"notes.txt"});
    EXPECT_EQ(read_file(dir.path("full/notes.txt")), "keep me");
    r = camrecord({dir.path("full/notes.txt")}, camera(defaults));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("it exists and is not a folder"), std::string::npos) << r.err;

    r = camrecord({rec}, camera(dir.write("none.json", R"({"devices": []})")));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Device not found!\n");

    // Duoscope's rule falls back to a colour stream that is not JPEG.
    r = camrecord({rec}, camera(dir.write("yuyv.json", R"({"devices": [{"profiles": {"color": [
                                              {"format": "YUYV", "width": 640, "height": 480,
                                               "fps": 30}]}}]})")));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("colour YUYV 640x480 at 30 fps, but a recording holds"), std::string::npos)
        << r.err;

    r = camrecord({rec}, camera(dir.write("start.json", kStopAtStart.dump())));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "vt_error was raised when calling vt_pipeline_start_with_config(pipeline, config):\n"
              "error message:    stop here\n"
              "error Type:    0\n");
    EXPECT_FALSE(fs::exists(rec));
}

TEST(Camrecord, SdkFailureWhileRecordingKeepsTheCompleteSets) {
    harness::Scratch dir;
    // The fifth fetch of frame data is the colour of the third set.
    std::string scenario = dir.write("fails.json", R"({"stream": {"realtime": false},
        "faults": [{"call": "vt_frame_data", "nth": 5, "message": "cable pulled", "type": 4}]})");
    harness::Result r = camrecord({dir.path("rec"), "5"}, camera(scenario));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "vt_error was raised when calling vt_frame_data(frame):\n"
              "error message:    cable pulled\n"
              "error Type:    4\n");
    EXPECT_EQ(whole_recording(dir.path("rec")), 2);
}

TEST(Camrecord, FullDiskEndsTheRecordingAndKeepsTheCompleteSets) {
    harness::Scratch dir;
    // Files may grow to 4 KiB: enough for the flat depth of the first two
    // sets, too little for the third's fractal.
    make_source(dir.path("src"), 3, true);
    std::string scenario = dir.write("small.json", R"({"devices": [{"profiles": {
        "depth": [{"format": "Y16", "width": 80, "height": 50, "fps": 30}],
        "color": [{"format": "MJPG", "width": 96, "height": 64, "fps": 30}]}}],
        "stream": {"realtime": false, "source": "src"}})");
    std::string rec = dir.path("rec");
    harness::Result r =
        harness::run({"/bin/sh", "-c", "ulimit -f 8; trap '' XFSZ; exec \"$0\" \"$@\"",
                      harness::bin("camrecord"), rec, "5"},
                     camera(scenario));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.substr(0, 8), "2 sets, ") << r.out;
    EXPECT_EQ(r.err, "camrecord: cannot write " + rec +
                         "/depth/000002.png: File too large\n"
                         "camrecord: the 2 complete sets are kept; " +
                         rec + "/scenario.json plays them\n");
    EXPECT_EQ(whole_recording(rec), 2);
    harness::Result probe = harness::run(harness::bin("camprobe"), camera(rec + "/scenario.json"));
    EXPECT_EQ(probe.status, 0) << probe.out;
}

TEST(Camrecord, EscapeOnTheTerminalEndsAWholeRecording) {
    harness::Scratch dir;
    pty::Session session(harness::bin("camrecord"), {}, pty::user_attributes(), false,
                         {dir.path("rec"), "60"});
    ASSERT_TRUE(session.wait_for_output(" MB")) << session.output();
    session.type("\x1b");
    harness::Result r = session.wait();
    EXPECT_EQ(r.status, 0);
    std::string out = session.output();
    EXPECT_EQ(out.rfind("Recording into " + dir.path("rec") + " for 60 s;", 0), 0u) << out;
    EXPECT_NE(out.find('\r'), std::string::npos);  // the progress line is rewritten in place
    EXPECT_GT(whole_recording(dir.path("rec")), 0);
    EXPECT_TRUE(pty::same_attributes(session.attributes(), pty::user_attributes()));
}

TEST(Camrecord, InterruptEndsAWholeRecordingWithOneLineOfOutput) {
    harness::Scratch dir;
    std::string rec = dir.path("rec");
    harness::Process recorder(harness::bin("camrecord"), {}, harness::Process::Output::file,
                              {rec, "60"});
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (names(rec + "/depth").size() < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(recorder.pid(), SIGINT);
    harness::Result r = recorder.wait();
    EXPECT_EQ(r.status, 0);
    int sets = whole_recording(rec);
    EXPECT_GE(sets, 2);
    EXPECT_EQ(r.out.rfind(std::to_string(sets) + " sets, ", 0), 0u) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
}

}  // namespace
