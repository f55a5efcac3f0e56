// Duoscope run as a person would: on a private X server, driven by scenario
// files of the simulated camera, ended with ESC pressed in its window, and
// checked through its exit status, its output, a screenshot, the SDK's call
// trace and its frame statistics.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "harness.h"
#include "xscreen.h"
#include "xserver.h"

namespace {

using harness::count_lines;
using harness::find_line;

int last_line(const std::vector<std::string>& lines, const std::string& prefix) {
    for (int i = (int)lines.size() - 1; i >= 0; i--) {
        if (lines[i].compare(0, prefix.size(), prefix) == 0) return i;
    }
    return -1;
}

std::map<std::string, std::string> viewer_env(const harness::XServer& x,
                                              const harness::Scratch& dir,
                                              const std::string& scenario) {
    auto env = dir.sim_env(scenario);
    env["DISPLAY"] = x.display();
    env["XDG_RUNTIME_DIR"] = dir.path("");
    return env;
}

// Waits until the viewer has shown this many frame sets (data fetched for
// both frames of each).
bool wait_for_frames(harness::Process& viewer, const harness::Scratch& dir, int frames) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline && viewer.running()) {
        if (count_lines(dir.trace(), "vt_frame_data(") >= frames) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Presses ESC in the viewer's window and waits for the viewer to end.
harness::Result escape(const harness::XServer& x, harness::Process& viewer) {
    unsigned long window = x.find_window("Duoscope");
    EXPECT_NE(window, 0u) << "no window";
    bool sent = x.key(window, "Escape");
    harness::Result r = viewer.wait(20);
    // xdotool reports a failure when the window is gone before it sends the
    // key's release: the viewer closed on the press, as it should.
    EXPECT_TRUE(sent || !r.timed_out) << "xdotool could not press ESC";
    EXPECT_FALSE(r.timed_out) << "the viewer did not end on ESC";
    return r;
}

class Duoscope : public ::testing::Test {
  protected:
    // Starts the viewer with the scenario (JSON text, or "" for the defaults).
    void start(const std::string& scenario = "") {
        viewer = std::make_unique<harness::Process>(harness::bin("duoscope"),
                                                    viewer_env(x, dir, scenario));
    }
    bool wait_for_frames(int frames) { return ::wait_for_frames(*viewer, dir, frames); }
    harness::Result escape() { return ::escape(x, *viewer); }

    harness::XServer x;
    harness::Scratch dir;
    std::unique_ptr<harness::Process> viewer;
};

TEST_F(Duoscope, ShowsColourLeftAndGreyDepthRightThenEndsInOrderOnEscape) {
    start();
    unsigned long window = x.find_window("Duoscope");
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(wait_for_frames(20));

    cv::Mat screen = x.screenshot(window);
    ASSERT_FALSE(screen.empty());
    cv::Rect picture = harness::find_picture(screen);
    EXPECT_EQ(picture.size(), cv::Size(1280, 480));
    if (picture.size() == cv::Size(1280, 480)) {
        cv::Mat shown = screen(picture);
        cv::Mat color = shown.colRange(0, 640), depth = shown.colRange(640, 1280);
        int coloured = 0, grey = 0, unequal_depth = 0;
        for (int y = 0; y < 480; y += 4) {
            for (int x = 0; x < 640; x += 4) {
                cv::Vec3b c = color.at<cv::Vec3b>(y, x), d = depth.at<cv::Vec3b>(y, x);
                coloured += (std::abs(c[0] - c[1]) > 20 || std::abs(c[1] - c[2]) > 20);
                unequal_depth += (d[0] != d[1] || d[1] != d[2]);
                grey += d[0] > 40;
            }
        }
        EXPECT_GT(coloured, 160 * 120 / 2);  // most of the left cell is in colour
        EXPECT_EQ(unequal_depth, 0);         // the right cell is grey throughout
        EXPECT_GT(grey, 160 * 120 / 2);      // and shows the scene, not black
    }

    harness::Result r = escape();
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");  // a normal end says nothing on standard error either

    nlohmann::json stats = dir.stats();
    EXPECT_EQ(stats["leaked_framesets"], 0);
    EXPECT_EQ(stats["leaked_frames"], 0);
    EXPECT_LE(stats["framesets_alive_peak"].get<int>(), 2);
    EXPECT_EQ(stats["frames_read"].get<int>(), 2 * stats["framesets_read"].get<int>());

    // Both threads were joined before the stop: no wait, getter or release
    // after it but the release of a set left in the slot, then the deletion.
    std::vector<std::string> trace = dir.trace();
    int stop = find_line(trace, "vt_pipeline_stop(pipeline)");
    ASSERT_GT(stop, 0);
    EXPECT_LT(last_line(trace, "vt_pipeline_wait_for_frames"), stop);
    EXPECT_LT(last_line(trace, "vt_frame_"), stop);
    EXPECT_LT(last_line(trace, "vt_delete_frame("), stop);
    EXPECT_LE(trace.size() - stop, 3u);
    EXPECT_EQ(trace.back(), "vt_delete_pipeline(pipeline)");
}

TEST_F(Duoscope, SetsLackingAFrameAreReleasedUnseen) {
    // A second and a half of incomplete sets, then whole ones.
    std::string pattern;
    for (int i = 0; i < 15; i++) pattern += R"("color_only", "depth_only", "empty", )";
    start(R"({"stream": {"pattern": [)" + pattern + R"("both"]}})");

    // While only incomplete sets come, no frame is shown.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (count_lines(dir.trace(), "vt_delete_frame_set(") < 5 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(count_lines(dir.trace(), "vt_delete_frame_set("), 5);
    EXPECT_EQ(count_lines(dir.trace(), "vt_frame_data("), 0);
    EXPECT_TRUE(viewer->running());

    ASSERT_TRUE(wait_for_frames(2));
    harness::Result r = escape();
    EXPECT_EQ(r.status, 0);
    nlohmann::json stats = dir.stats();
    EXPECT_EQ(stats["leaked_framesets"], 0);
    EXPECT_EQ(stats["leaked_frames"], 0);
    EXPECT_EQ(stats["frames_released"], stats["frames_extracted"]);
    // The first picture shown was of a whole set, after every incomplete set
    // had been released unseen (or, on a busy machine, discarded by the SDK
    // while the viewer was late).
    std::vector<std::string> trace = dir.trace();
    int first_shown = find_line(trace, "vt_frame_data(");
    ASSERT_GT(first_shown, 0);
    std::vector<std::string> before(trace.begin(), trace.begin() + first_shown);
    EXPECT_GE(count_lines(before, "vt_delete_frame_set(") + stats["framesets_discarded"].get<int>(),
              45);
}

TEST_F(Duoscope, EscapeEndsTheViewerWhileNoWholeSetComes) {
    // A camera that stops after five sets, and one that sends three whole sets
    // and then colour alone (for 20 s). Each run waits for a trace line that
    // only comes once the whole sets are done with: the fifth release of a
    // set, or the fourth set taken by the processing thread. The statistics
    // go to a FIFO that no one reads: the SDK skips them, says so, and
    // nothing waits.
    std::string colour_alone = R"({"stream": {"pattern": ["both", "both", "both")";
    for (int i = 0; i < 600; i++) colour_alone += R"(, "color_only")";
    colour_alone += "]}}";
    struct Camera {
        std::string scenario;
        const char* line;
        int count;
    };
    for (const Camera& camera :
         {Camera{R"({"stream": {"framesets": 5}})", "vt_delete_frame_set(", 5},
          Camera{colour_alone, "vt_frame_set_color_frame(", 4}}) {
        SCOPED_TRACE(camera.line);
        harness::Scratch scratch;
        std::map<std::string, std::string> env = viewer_env(x, scratch, camera.scenario);
        std::string fifo = scratch.path("stats.fifo");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        env["VANTRA_SIM_STATS"] = fifo;
        harness::Process p(harness::bin("duoscope"), env);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (count_lines(scratch.trace(), camera.line) < camera.count &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_GE(count_lines(scratch.trace(), camera.line), camera.count);
        int shown = count_lines(scratch.trace(), "vt_frame_data(");
        ASSERT_GT(shown, 0);
        harness::Result r = ::escape(x, p);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "simulated SDK: statistics file '" + fifo +
                             "': a FIFO that no one reads; the statistics are not written\n");
        // It ended without another picture, in the usual order.
        std::vector<std::string> trace = scratch.trace();
        EXPECT_EQ(count_lines(trace, "vt_frame_data("), shown);
        int stop = find_line(trace, "vt_pipeline_stop(pipeline)");
        ASSERT_GT(stop, 0);
        EXPECT_LT(last_line(trace, "vt_frame_"), stop);
        EXPECT_EQ(trace.back(), "vt_delete_pipeline(pipeline)");
    }
}

TEST_F(Duoscope, PlainWindowWhileNoWholeSetComesAndEscapeOrItsCloseButtonEndsIt) {
    // Colour alone; colour frames of no bytes or too few to show (also those
    // of a 1 x 1 or a 17 x 13 profile); a camera that sends one empty set and
    // then nothing, left with the window manager's close button.
    auto profiles = [](int width, int height) {
        std::string size =
            R"(, "width": )" + std::to_string(width) + R"(, "height": )" + std::to_string(height);
        return R"({"devices": [{"profiles": {"depth": [{"format": "Y16")" + size +
               R"(, "fps": 30}], "color": [{"format": "MJPG")" + size + R"(, "fps": 30}]}}]})";
    };
    for (const std::string& scenario :
         {std::string(R"({"stream": {"pattern": ["color_only"]}})"),
          std::string(R"({"stream": {"pattern": ["short_color", "empty"]}})"), profiles(1, 1),
          profiles(17, 13), std::string(R"({"stream": {"framesets": 1, "pattern": ["empty"]}})")}) {
        SCOPED_TRACE(scenario);
        harness::Scratch scratch;
        harness::Process p(harness::bin("duoscope"), viewer_env(x, scratch, scenario));
        unsigned long window = x.find_window("Duoscope");
        ASSERT_NE(window, 0u) << "no window";
        // The window's plain black picture, 1280 x 960, once drawn.
        cv::Mat screen;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            screen = x.screenshot(window);
        } while ((screen.empty() || screen.size() != cv::Size(1280, 960) ||
                  cv::countNonZero(screen.reshape(1)) != 0) &&
                 std::chrono::steady_clock::now() < deadline);
        ASSERT_EQ(screen.size(), cv::Size(1280, 960));
        EXPECT_EQ(cv::countNonZero(screen.reshape(1)), 0);
        harness::Result r;
        if (scenario.find("framesets") != std::string::npos) {
            ASSERT_TRUE(xscreen::close_window(window, x.display()));
            r = p.wait(20);
            EXPECT_FALSE(r.timed_out) << "the viewer did not end on its close button";
        } else {
            r = ::escape(x, p);
        }
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        std::vector<std::string> trace = scratch.trace();
        EXPECT_EQ(count_lines(trace, "vt_frame_data("), 0);
        EXPECT_EQ(trace.back(), "vt_delete_pipeline(pipeline)");
        EXPECT_EQ(scratch.stats()["leaked_frames"], 0);
    }
}

TEST_F(Duoscope, UndecodableColourIsReportedOnStandardErrorAndTheViewerGoesOn) {
    start(R"({"stream": {"pattern": ["bad_color", "both", "both"]}})");
    ASSERT_TRUE(wait_for_frames(30));
    harness::Result r = escape();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    // Every failed picture costs one report, whose text is OpenCV's.
    int reports = 0;
    size_t at = 0;
    while ((at = r.err.find("OpenCV(", at)) != std::string::npos) {
        reports++;
        at++;
    }
    EXPECT_GT(reports, 0) << r.err;
    nlohmann::json stats = dir.stats();
    EXPECT_GT(stats["framesets_read"].get<int>(), reports);  // good sets were shown too
    EXPECT_EQ(stats["leaked_frames"], 0);
}

TEST_F(Duoscope, SetLeftInTheSlotIsReleasedByMainBetweenStopAndDelete) {
    // Sets come every 33 ms, sooner than the capture thread's wait of 100 ms
    // gives up: the wait under way when ESC ends the viewer returns a set, and
    // the capture thread posts it (or drops it while the slot is still full)
    // after the processing thread has taken its last set. The frames are
    // small, so that the SDK makes them in time even under a sanitizer.
    start(R"({"devices": [{"profiles": {
        "depth": [{"format": "Y16", "width": 160, "height": 120, "fps": 30}],
        "color": [{"format": "MJPG", "width": 160, "height": 120, "fps": 30}]}}]})");
    ASSERT_TRUE(wait_for_frames(3));
    harness::Result r = escape();
    ASSERT_EQ(r.status, 0);
    std::vector<std::string> trace = dir.trace();
    int stop = find_line(trace, "vt_pipeline_stop(pipeline)");
    ASSERT_GT(stop, 0);
    std::vector<std::string> tail(trace.begin() + stop, trace.end());
    std::vector<std::string> expected = {"vt_pipeline_stop(pipeline)",
                                         "vt_delete_frame_set(frameset)",
                                         "vt_delete_pipeline(pipeline)"};
    EXPECT_EQ(tail, expected);
    EXPECT_EQ(dir.stats()["leaked_framesets"], 0);
}

TEST_F(Duoscope, ShowsARecordingAsItWasRecorded) {
    // Colour as another encoder writes a USB camera's MJPEG (ffmpeg, 4:2:2):
    // the left half red, the right half blue. Depth: a flat 800 mm, smaller
    // than the cell it is shown in.
    std::filesystem::create_directories(dir.path("rec/color"));
    std::filesystem::create_directories(dir.path("rec/depth"));
    std::string command =
        "ffmpeg -loglevel error -f lavfi -i color=red:s=640x720 -f lavfi -i color=blue:s=640x720 "
        "-filter_complex hstack -frames:v 3 -pix_fmt yuvj422p -c:v mjpeg -q:v 3 '" +
        dir.path("rec/color/%03d.jpg") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    cv::imwrite(dir.path("rec/depth/0001.png"), cv::Mat(240, 320, CV_16UC1, cv::Scalar(800)));
    start(R"({"stream": {"source": "rec"}})");
    unsigned long window = x.find_window("Duoscope");
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(wait_for_frames(10));
    cv::Mat shown = x.screenshot(window);
    cv::Rect picture = harness::find_picture(shown);
    ASSERT_EQ(picture.size(), cv::Size(1280, 480));
    cv::Vec3b red = shown(picture).at<cv::Vec3b>(240, 160);
    cv::Vec3b blue = shown(picture).at<cv::Vec3b>(240, 480);
    EXPECT_TRUE(red[2] > 220 && red[1] < 30 && red[0] < 30) << red;
    EXPECT_TRUE(blue[0] > 220 && blue[1] < 30 && blue[2] < 30) << blue;
    EXPECT_EQ(shown(picture).at<cv::Vec3b>(240, 960), cv::Vec3b(200, 200, 200));  // 800 mm x 0.25
    EXPECT_EQ(escape().status, 0);
    EXPECT_EQ(dir.stats()["leaked_frames"], 0);
}

TEST(DuoscopeWithoutDisplay, SaysSoBeforeTheCameraStarts) {
    harness::Scratch dir;
    // Empty (as good as unset), and a display that no server answers.
    for (const char* display : {"", ":97"}) {
        std::map<std::string, std::string> env = dir.sim_env();
        env["DISPLAY"] = display;
        harness::Result r = harness::run(harness::bin("duoscope"), env);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 1);  // an exit, no signal
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("Duoscope needs a graphical display, and none answers at "
                                     "DISPLAY=\"") +
                             display + "\".\n");
        EXPECT_TRUE(dir.trace().empty());
    }
}

struct Failure {
    const char* call;
    int nth;
    const char* args;   // the failed call's argument text in the report
    bool after_escape;  // the call is made only after the window has closed
};

void PrintTo(const Failure& f, std::ostream* os) {
    *os << f.call << "_" << f.nth;
}

class DuoscopeFailure : public Duoscope, public ::testing::WithParamInterface<Failure> {};

TEST_P(DuoscopeFailure, EndsAtOnceWithTheReportAndNothingElse) {
    const Failure& f = GetParam();
    start(std::string(R"({"faults": [{"call": ")") + f.call + R"(", "nth": )" +
          std::to_string(f.nth) + R"(, "message": "injected", "type": 5}]})");
    harness::Result r;
    if (f.after_escape) {
        ASSERT_TRUE(wait_for_frames(4));
        r = escape();
    } else {
        r = viewer->wait(20);
    }
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string("vt_error was raised when calling ") + f.call + "(" + f.args +
                         "):\nerror message:    injected\nerror Type:    5\n");
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    EachThread, DuoscopeFailure,
    ::testing::Values(
        Failure{"vt_pipeline_wait_for_frames", 10, "pipeline, 100", false},  // capture thread
        Failure{"vt_frame_set_color_frame", 5, "frameset", false},           // processing thread
        Failure{"vt_frame_set_depth_frame", 5, "frameset", false},
        Failure{"vt_delete_frame_set", 5, "frameset", false},  // capture or processing thread
        Failure{"vt_delete_frame", 3, "frame", false},         // a colour frame
        Failure{"vt_delete_frame", 4, "frame", false},         // a depth frame
        Failure{"vt_pipeline_stop", 1, "pipeline", true}));    // main thread

}  // namespace
