// Camrecord run as a person would: a camera recorded into a folder, the
// folder replayed as that camera by the other programs and by Camrecord
// itself, and the inputs that must leave no half-written recording behind.
#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
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

// The sets that times.txt lists; complete is whether it ends with "end".
int listed_sets(const std::string& folder, bool* complete = nullptr) {
    std::string text = read_file(folder + "/times.txt");
    int lines = (int)std::count(text.begin(), text.end(), '\n');
    bool ended = text.size() >= 4 && text.compare(text.size() - 4, 4, "end\n") == 0;
    if (complete != nullptr) *complete = ended;
    return ended ? lines - 1 : lines;
}

// A whole recording: scenario.json and times.txt beside the two folders, in
// them the same count of numbered files and nothing else, all listed in
// times.txt from the time 0 on, strictly increasing, which marks the
// recording complete (or not, when it was cut short). Gives the count.
int whole_recording(const std::string& folder, bool cut_short = false) {
    EXPECT_EQ(names(folder), (Names{"color", "depth", "scenario.json", "times.txt"}));
    int count = (int)names(folder + "/color").size();
    EXPECT_EQ(names(folder + "/color"), numbered(count, ".jpg"));
    EXPECT_EQ(names(folder + "/depth"), numbered(count, ".png"));
    bool complete = false;
    EXPECT_EQ(listed_sets(folder, &complete), count);
    EXPECT_EQ(complete, !cut_short) << folder;
    std::istringstream lines(read_file(folder + "/times.txt"));
    long long time = -1, previous = -1;
    for (std::string name; lines >> name >> time && name != "end"; previous = time) {
        EXPECT_EQ(previous < 0 ? time == 0 : time > previous, true) << name << " " << time;
    }
    return count;
}

// Waits until the condition holds, or the test's time is up; whether it holds.
bool wait_until(const std::function<bool()>& holds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!holds() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return holds();
}

// Waits until times.txt lists the count of sets.
bool wait_for_sets(const std::string& folder, int count) {
    return wait_until(
        [&] { return fs::exists(folder + "/times.txt") && listed_sets(folder) >= count; });
}

// Camrecord run until it has listed the count of sets, then ended by the
// signal; none of its recording files takes the place of standard output or
// error, which the shell's redirection may close.
harness::Result record_sets(const std::string& rec, int count,
                            const std::map<std::string, std::string>& env,
                            const std::string& redirection = "", int signal = SIGTERM) {
    harness::Process recorder(
        "/bin/sh", env, harness::Process::Output::file,
        {"-c", "exec \"$0\" \"$@\" " + redirection, harness::bin("camrecord"), rec, "60"});
    EXPECT_TRUE(wait_for_sets(rec, count));
    for (const char* fd : {"/fd/1", "/fd/2"}) {
        std::error_code ec;
        fs::path file = fs::read_symlink("/proc/" + std::to_string(recorder.pid()) + fd, ec);
        EXPECT_EQ(file.string().find(rec), std::string::npos) << redirection << " " << file;
    }
    kill(recorder.pid(), signal);
    return recorder.wait();
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
        script += "$im -size 96x64 gradient:red-blue -fill white -draw 'circle " + x + ",32 " + x +
                  ",40' -quality 85 '" + folder + "/color/" + n + ".jpg' && ";
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

// The camera of kCamera, live at 30 sets a second, every set whole: the
// scenario file's path.
std::string live_camera(const harness::Scratch& dir, int framesets) {
    make_source(dir.path("src"), 6);
    dir.write("camera.json", kCamera);
    return changed(
        dir, dir.path("camera.json"), "live.json",
        {{"stream",
          {{"realtime", true}, {"framesets", framesets}, {"pattern", json::array({"both"})}}}});
}

// The recording replays as the camera of the original scenario: Camprobe's
// report byte for byte; Duoscope's start-up up to the pipeline's start, the
// same calls on the same list entries (an interrupted recording says so in
// the trace's first line, and nowhere else); and, recorded again as fast as
// it plays, the recording's listed sets in their order, looped. Gives the
// count of sets it plays.
int expect_replays_as(const harness::Scratch& dir, const std::string& original,
                      const std::string& rec, bool interrupted) {
    harness::Result probe = harness::run(harness::bin("camprobe"), camera(original));
    harness::Result replay = harness::run(harness::bin("camprobe"), camera(rec + "/scenario.json"));
    EXPECT_EQ(probe.status, 0);
    EXPECT_NE(probe.out.find("Workbench RGB-D Unit 7"), std::string::npos);
    EXPECT_EQ(replay.out, probe.out);

    std::string before = changed(dir, original, "duoscope-before.json", kStopAtStart);
    std::string after = changed(dir, rec + "/scenario.json", "duoscope-after.json", kStopAtStart);
    fs::remove(dir.path("before.txt"));
    fs::remove(dir.path("after.txt"));
    harness::run(harness::bin("duoscope"), camera(before, dir.path("before.txt")));
    harness::run(harness::bin("duoscope"), camera(after, dir.path("after.txt")));
    std::string trace = read_file(dir.path("before.txt"));
    EXPECT_NE(trace.find("vt_config_enable_stream(config, depth[2])\n"), std::string::npos);
    EXPECT_NE(trace.find("vt_config_enable_stream(config, color[2])\n"), std::string::npos);
    std::string replayed = read_file(dir.path("after.txt"));
    if (interrupted) {
        std::string note = replayed.substr(0, replayed.find('\n') + 1);
        EXPECT_EQ(note.rfind("# recording '" + rec, 0), 0u) << note;
        EXPECT_NE(note.find("' was interrupted; it plays the "), std::string::npos) << note;
        replayed.erase(0, note.size());
    }
    EXPECT_EQ(replayed, trace);

    int sets = listed_sets(rec);
    std::string fast = changed(dir, rec + "/scenario.json", "fast.json",
                               {{"stream", {{"realtime", false}, {"framesets", 2 * sets + 1}}}});
    std::string again = dir.path("again");
    fs::remove_all(again);
    harness::Result r = camrecord({again, "1"}, camera(fast));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(whole_recording(again), 2 * sets + 1);
    for (int i = 0; i < 2 * sets + 1; i++) {
        std::string n = numbered(i + 1, "")[i], m = numbered(i % sets + 1, "")[i % sets];
        EXPECT_EQ(read_file(again + "/color/" + n + ".jpg"),
                  read_file(rec + "/color/" + m + ".jpg"))
            << i;
        EXPECT_TRUE(same_values(depth_of(again + "/depth/" + n + ".png"),
                                depth_of(rec + "/depth/" + m + ".png")))
            << i;
    }
    return sets;
}

// Camrecord's own file operations run through slow_disk: fdatasync of a file
// (or mkdir of a path) whose name ends with the given text waits while the
// stall file exists; with a log, the operations are written into it.
std::map<std::string, std::string> slow_disk(std::map<std::string, std::string> env,
                                             const std::string& file, const std::string& stall,
                                             const std::string& log = "") {
    const char* asan = getenv("ASAN_OPTIONS");
    env["LD_PRELOAD"] = SLOW_DISK;
    // The sanitizer's runtime comes after the preloaded library then.
    env["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
    env["SLOW_DISK_FILE"] = file;
    env["SLOW_DISK_WHILE"] = stall;
    if (!log.empty()) env["SLOW_DISK_LOG"] = log;
    return env;
}

// From the log of slow_disk: every set is listed in times.txt only once it
// would survive a power cut: its two files' data synced under their hidden
// names, the names given and synced in color/ and depth/; and the folder's
// names (and its own in the parent) synced before the first. Gives the sets
// listed.
int expect_listed_only_when_durable(const std::string& log, const std::string& rec) {
    std::set<std::string> data_synced, named, durable;
    std::string folder = fs::path(rec).filename(), parent = fs::path(rec).parent_path().filename();
    bool folder_synced = false, parent_synced = false;
    int listed = 0;
    std::istringstream lines(read_file(log));
    std::string line, op, path, to;
    auto last_two = [](const std::string& p) {
        return fs::path(p).parent_path().filename().string() + "/" +
               fs::path(p).filename().string();
    };
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        op.clear();
        words >> op >> path;
        if (op == "fdatasync") data_synced.insert(last_two(path));
        if (op == "link" && words >> to && data_synced.count(last_two(path))) {
            named.insert(last_two(to));
        }
        if (op == "fsync") {
            std::string name = fs::path(path).filename();
            folder_synced |= name == folder;
            parent_synced |= name == parent && folder_synced;
            for (const std::string& file : named) {
                if (file.rfind(name + "/", 0) == 0) durable.insert(file);
            }
        }
        if (op == "write" || (op.size() > 0 && isdigit((unsigned char)op[0]))) {
            std::string name = op;
            if (op == "write") name = words >> name ? name : "";
            if (name.empty() || name == "end") continue;
            EXPECT_TRUE(folder_synced && parent_synced) << name;
            EXPECT_TRUE(durable.count("color/" + name + ".jpg")) << name;
            EXPECT_TRUE(durable.count("depth/" + name + ".png")) << name;
            listed++;
        }
    }
    return listed;
}

TEST(Camrecord, RecordingReplaysAsTheSameCameraWithTheSameFrames) {
    harness::Scratch dir;
    make_source(dir.path("src"), 6);
    std::string original = dir.write("camera.json", kCamera);
    std::string rec = dir.path("rec");
    harness::Result r = harness::run({harness::bin("camrecord"), rec, "1.5"},
                                     slow_disk(camera(original), "", "", dir.path("log")));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // The six sets came at once, then none: the stream ended, it did not stall.
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.substr(0, 8), "3 sets, ") << r.out;
    EXPECT_EQ(expect_listed_only_when_durable(dir.path("log"), rec), 3);
    EXPECT_NE(r.out.find(" MB, 3 skipped (1 incomplete, 2 damaged)\n"), std::string::npos) << r.out;

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
    // A picture that someone added is not a set of the camera.
    fs::copy_file(dir.path("src/color/1.jpg"), rec + "/color/zz-cover.JPG");
    EXPECT_EQ(expect_replays_as(dir, original, rec, false), 3);
    EXPECT_EQ(json::parse(read_file(dir.path("again/scenario.json"))),
              json::parse(read_file(rec + "/scenario.json")));

    // Played live, sets that came 1.2 s apart are a stream that stalled.
    dir.write("rec/times.txt", "000000 0\n000001 1200000\n000002 1250000\nend\n");
    r = record_sets(dir.path("live"), 3, camera(rec + "/scenario.json"));
    EXPECT_EQ(r.err.rfind("camrecord: the stream stalled: no frame set came for ", 0), 0u) << r.err;
}

TEST(Camrecord, KilledAtAnyMomentItReplaysAsTheCameraWithEverySetWritten) {
    harness::Scratch dir;
    std::string live = live_camera(dir, 0);
    // Killed while the first set is written, and while the first group's
    // lines are made durable: times.txt lists none, or the first group.
    for (const char* stalled : {".000000.png.part", "times.txt"}) {
        SCOPED_TRACE(std::string("killed while syncing ") + stalled);
        std::string rec = dir.path(std::string("rec-") + stalled[1]), stall = rec + ".stall";
        dir.write(fs::path(stall).filename(), "");
        harness::Process recorder(harness::bin("camrecord"),
                                  slow_disk(camera(live), stalled, stall),
                                  harness::Process::Output::file, {rec, "60"});
        ASSERT_TRUE(wait_until([&] { return fs::exists(stall + ".held"); }));
        kill(recorder.pid(), SIGKILL);
        recorder.wait();
        bool complete = true;
        int set = listed_sets(rec, &complete);
        EXPECT_FALSE(complete);
        ASSERT_EQ(set == 0, stalled[0] == '.') << set;
        if (set == 0) {
            harness::Result probe =
                harness::run(harness::bin("camprobe"), camera(rec + "/scenario.json"));
            EXPECT_EQ(probe.status, 1);
            EXPECT_NE(probe.out.find("times.txt: lists no set"), std::string::npos) << probe.out;
            continue;
        }
        // What other moments leave: a set whose files are in place but not
        // listed yet, and half of its line.
        std::string last = numbered(set, "")[set - 1], next = numbered(set + 1, "")[set];
        fs::remove(rec + "/color/" + next + ".jpg");
        fs::remove(rec + "/depth/" + next + ".png");
        fs::copy_file(rec + "/color/" + last + ".jpg", rec + "/color/" + next + ".jpg");
        fs::copy_file(rec + "/depth/" + last + ".png", rec + "/depth/" + next + ".png");
        std::ofstream(rec + "/times.txt", std::ios::app) << next << " 1";
        EXPECT_EQ(expect_replays_as(dir, live, rec, true), set);
        for (int i = 0; i < set; i++) {
            EXPECT_EQ(read_file(rec + "/color/" + numbered(set, ".jpg")[i]),
                      read_file(dir.path("src/color/" + std::to_string(i % 6) + ".jpg")));
        }
    }
}

TEST(Camrecord, SlowDiskCostsSetsOfTheRecordingCountedNeverOfTheCamera) {
    harness::Scratch dir;
    // A camera whose sets come as fast as Camrecord takes them, so that
    // what is dropped depends on the queue alone, however busy the machine.
    std::string live =
        changed(dir, live_camera(dir, 80), "fast.json", {{"stream", {{"realtime", false}}}});
    // The disk stalls on the first set until Camrecord has taken all 80.
    std::string stall = dir.write("stall", "");
    std::map<std::string, std::string> env = slow_disk(camera(live), "", stall);
    env["SLOW_DISK_WRITE"] = ".000000.jpg.part";
    env["VANTRA_SIM_TRACE"] = dir.path("trace.txt");
    env["VANTRA_SIM_STATS"] = dir.path("stats.json");
    std::string rec = dir.path("rec");
    harness::Process recorder(harness::bin("camrecord"), env, harness::Process::Output::file,
                              {rec, "60"});
    ASSERT_TRUE(wait_until(
        [&] { return harness::count_lines(dir.trace(), "vt_delete_frame_set(") == 80; }));
    fs::remove(stall);
    kill(recorder.pid(), SIGTERM);  // what the queue holds is still written
    harness::Result r = recorder.wait();
    EXPECT_EQ(r.status, 0) << r.err;
    // The queue's 60, the set being written among them, are written; the
    // rest were dropped and counted.
    int written = 0, dropped = 0;
    size_t at = r.out.find(" MB, ");
    ASSERT_NE(at, std::string::npos) << r.out;
    ASSERT_EQ(sscanf(r.out.c_str(), "%d sets, ", &written), 1) << r.out;
    ASSERT_EQ(sscanf(r.out.c_str() + at, " MB, %d dropped for the disk\n", &dropped), 1) << r.out;
    EXPECT_EQ(written, 60) << r.out;
    EXPECT_EQ(dropped, 20) << r.out;
    EXPECT_EQ(whole_recording(rec), written);
    json stats = json::parse(read_file(dir.path("stats.json")));
    EXPECT_EQ(stats["framesets_delivered"], 80);
}

TEST(Camrecord, BadInputGetsAMessageAndLeavesNoRecording) {
    harness::Scratch dir;
    std::string defaults = dir.write("defaults.json", R"({"stream": {"realtime": false}})");
    std::string rec = dir.path("rec");
    const char* usage = "Usage: camrecord FOLDER [SECONDS]\n";

    harness::Result r = camrecord({}, camera(defaults));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, usage);
    r = camrecord({"--help", "0.5"}, camera(defaults));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              std::string("camrecord: FOLDER must not begin with '-', not '--help'\n") + usage);
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

    // Nor is 8-bit depth, Duoscope's fallback when no profile matches.
    r = camrecord({rec}, camera(dir.write("y8.json", R"({"devices": [{"profiles": {"depth": [
                                              {"format": "Y8", "width": 640, "height": 480,
                                               "fps": 30}]}}]})")));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("camrecord: the chosen streams are depth Y8 640x480 at 30 fps and colour"),
              std::string::npos)
        << r.err;

    // Sets that came but hold no picture that decodes, or lack a frame.
    for (const char* kind : {"short_color", "color_only"}) {
        std::string bad = dir.write(
            "bad.json",
            json{{"stream",
                  {{"realtime", false}, {"framesets", 5}, {"pattern", json::array({kind})}}}}
                .dump());
        harness::Process recorder(harness::bin("camrecord"), camera(bad, dir.path("trace.txt")),
                                  harness::Process::Output::file, {rec, "60"});
        ASSERT_TRUE(wait_until(
            [&] { return harness::count_lines(dir.trace(), "vt_delete_frame_set(") == 5; }));
        kill(recorder.pid(), SIGTERM);
        r = recorder.wait();
        fs::remove(dir.path("trace.txt"));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out.substr(0, 8), "0 sets, ") << r.out;
        EXPECT_NE(r.out.find(std::string(" MB, 5 skipped (5 ") +
                             (kind[0] == 's' ? "damaged" : "incomplete") + ")\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(r.err,
                  "camrecord: none of the 5 frame sets that came could be recorded; nothing was "
                  "recorded\n");
        EXPECT_FALSE(fs::exists(rec));
    }

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
    // Two sets of short colour frames come first: the recording takes its
    // sizes from the first set that decodes. The thirteenth fetch of frame
    // data is the colour of the seventh set, after two good ones.
    std::string scenario = dir.write("fails.json", R"({"stream": {"realtime": false,
        "pattern": ["short_color", "short_color", "both"]},
        "faults": [{"call": "vt_frame_data", "nth": 13, "message": "cable pulled", "type": 4}]})");
    harness::Result r = camrecord({dir.path("rec"), "5"}, camera(scenario));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "vt_error was raised when calling vt_frame_data(frame):\n"
              "error message:    cable pulled\n"
              "error Type:    4\n");
    ASSERT_EQ(whole_recording(dir.path("rec"), true), 2);
    for (const char* name : {"000000.jpg", "000001.jpg"}) {
        EXPECT_EQ(cv::imread(dir.path("rec/color/") + name).size(), cv::Size(1280, 720)) << name;
    }
}

TEST(Camrecord, FullDiskOrLostReportEndWithStatusOneAndKeepTheSets) {
    harness::Scratch dir;
    // Files may grow to 4 KiB: enough for the flat depth of the first two
    // sets, too little for the third's fractal.
    make_source(dir.path("src"), 3, true);
    std::string scenario = dir.write("small.json", R"({"devices": [{"profiles": {
        "depth": [{"format": "Y16", "width": 80, "height": 50, "fps": 30}],
        "color": [{"format": "MJPG", "width": 96, "height": 64, "fps": 30}]}}],
        "stream": {"realtime": false, "framesets": 3, "source": "src"}})");
    std::string rec = dir.path("rec");
    // The limit's signal does not end Camrecord: the write fails and says so.
    harness::Result r = harness::run(
        {"/bin/sh", "-c", "ulimit -f 8; exec \"$0\" \"$@\"", harness::bin("camrecord"), rec, "5"},
        slow_disk(camera(scenario), "", "", dir.path("log")));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.substr(0, 8), "2 sets, ") << r.out;
    EXPECT_NE(r.out.find(" MB, 1 dropped for the disk\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "camrecord: cannot write " + rec +
                         "/depth/000002.png: File too large\n"
                         "camrecord: the 2 complete sets are kept; " +
                         rec + "/scenario.json plays them\n");
    EXPECT_EQ(whole_recording(rec, true), 2);
    EXPECT_EQ(expect_listed_only_when_durable(dir.path("log"), rec), 2);
    harness::Result probe = harness::run(harness::bin("camprobe"), camera(rec + "/scenario.json"));
    EXPECT_EQ(probe.status, 0) << probe.out;

    // A report that cannot be written is not a success.
    r = harness::run({"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full", harness::bin("camrecord"),
                      dir.path("rec2"), "0.5"},
                     camera(scenario));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "camrecord: cannot write the report: No space left on device\n");
    EXPECT_EQ(whole_recording(dir.path("rec2")), 3);
}

TEST(Camrecord, EscapeOnTheTerminalEndsAWholeRecording) {
    harness::Scratch dir;
    pty::Session session(harness::bin("camrecord"), {}, pty::user_attributes(), false,
                         {dir.path("rec"), "60"});
    ASSERT_TRUE(session.wait_for_output(" MB")) << session.output();
    ASSERT_TRUE(wait_for_sets(dir.path("rec"), 1));
    session.type("\x1b");
    harness::Result r = session.wait();
    EXPECT_EQ(r.status, 0);
    std::string out = session.output();
    EXPECT_EQ(out.rfind("Recording into " + dir.path("rec") + " for 60 s;", 0), 0u) << out;
    EXPECT_NE(out.find('\r'), std::string::npos);  // the progress line is rewritten in place
    EXPECT_GT(whole_recording(dir.path("rec")), 0);
    EXPECT_TRUE(pty::same_attributes(session.attributes(), pty::user_attributes()));
}

TEST(Camrecord, StopSignalsEndAWholeRecordingWithOneLineOfOutput) {
    harness::Scratch dir;
    std::string three = dir.write("three.json", R"({"stream": {"framesets": 3}})");
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        std::string rec = dir.path("rec" + std::to_string(signal));
        std::string log = rec + ".log";
        harness::Result r = record_sets(rec, 3, slow_disk(camera(three), "", "", log), "", signal);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(whole_recording(rec), 3);
        EXPECT_EQ(expect_listed_only_when_durable(log, rec), 3);
        EXPECT_EQ(r.out.rfind("3 sets, ", 0), 0u) << r.out;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        EXPECT_EQ(r.out.find('\r'), std::string::npos);
    }

    // Started with the hang-up ignored (nohup), Camrecord keeps it ignored.
    std::string rec = dir.path("nohup");
    harness::Process recorder(
        "/bin/sh", {}, harness::Process::Output::file,
        {"-c", "trap '' HUP; exec \"$0\" \"$@\"", harness::bin("camrecord"), rec, "60"});
    ASSERT_TRUE(wait_for_sets(rec, 3));
    kill(recorder.pid(), SIGHUP);
    ASSERT_TRUE(wait_for_sets(rec, 6));
    kill(recorder.pid(), SIGTERM);
    EXPECT_EQ(recorder.wait().status, 0);
    EXPECT_GE(whole_recording(rec), 6);
}

TEST(Camrecord, RecordsOnlyIntoWhatItMadeAndAboveTheStandardDescriptors) {
    harness::Scratch dir;
    std::string three = dir.write("three.json", R"({"stream": {"framesets": 3}})");
    // Two recorders race for a new folder, and for an empty one: the first
    // one's mkdir waits until the second has made it and recorded into it.
    fs::create_directory(dir.path("empty"));
    for (std::string made : {"new", "empty/color"}) {
        SCOPED_TRACE(made);
        std::string rec = dir.path(made.substr(0, made.find('/'))), stall = rec + ".stall";
        dir.write(fs::path(stall).filename(), "");
        harness::Process first(harness::bin("camrecord"), slow_disk(camera(three), made, stall),
                               harness::Process::Output::file, {rec, "60"});
        ASSERT_TRUE(wait_until([&] { return fs::exists(stall + ".held"); }));
        EXPECT_EQ(record_sets(rec, 3, camera(three)).status, 0);
        fs::remove(stall);
        harness::Result r = first.wait();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "camrecord: cannot record into " + rec +
                             (made == "new" ? ": another program made it meanwhile\n"
                                            : ": another recording began in it meanwhile\n"));
        EXPECT_EQ(whole_recording(rec), 3);
    }

    // A symbolic link to an empty folder is recorded into.
    fs::create_directory(dir.path("target"));
    fs::create_directory_symlink(dir.path("target"), dir.path("link"));
    EXPECT_EQ(record_sets(dir.path("link"), 3, camera(three)).status, 0);
    EXPECT_EQ(whole_recording(dir.path("target")), 3);

    // With standard output or error closed, no recording file takes its
    // place; without standard output the report is lost, and the status says so.
    EXPECT_EQ(record_sets(dir.path("closed1"), 3, camera(three), ">&-").status, 1);
    EXPECT_EQ(record_sets(dir.path("closed2"), 3, camera(three), "2>&-").status, 0);
    EXPECT_EQ(whole_recording(dir.path("closed1")), 3);
    EXPECT_EQ(whole_recording(dir.path("closed2")), 3);
}

}  // namespace
