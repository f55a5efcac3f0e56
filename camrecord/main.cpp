// Camrecord: records the colour and the depth stream of the first camera into
// a folder that the simulated camera plays back as that same camera.
//
//   camrecord FOLDER [SECONDS]
//
// The folder's format, the camera's description and the writer that keeps up
// with the camera are the recording library's (recording/): this program
// reads the command line, handles the stop signals, waits for frame sets,
// hands each set that holds both frames to the writer and reports. It ends
// after SECONDS (default 10), at ESC on the terminal, at Ctrl-C, SIGTERM or
// SIGHUP (unless ignored when it started), or when a file cannot be written.
//
// Exit status: 0 after a recording; 2 for a wrong command line; 1 for
// everything else, an SDK failure included (reported by check_error).
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "check_error.h"
#include "conio.h"
#include "profile_choice.h"
#include "recording_camera.h"

using Clock = std::chrono::steady_clock;

// A longer time between two frame sets is reported as a stall of the stream.
static const double kStallSeconds = 1.0;

static volatile sig_atomic_t stop_requested = 0;
static vtrec::Writer* writer = nullptr;  // set while recording
static bool progress_shown = false;      // a progress line without its newline is on the terminal

static void on_stop_signal(int) {
    stop_requested = 1;
}

// Before the program ends on an error: the progress line closed, the
// recording kept as an interrupted one.
static void end_on_error() {
    if (progress_shown) printf("\n");
    vtrec::WriterCounts counts;
    std::string problem;
    if (writer != nullptr && !vtrec::finish_writer(writer, false, counts, problem))
        fprintf(stderr, "camrecord: %s\n", problem.c_str());
    writer = nullptr;
}

// The one way to end on an error of the program's own: status 1.
[[noreturn]] static void fail(const std::string& message) {
    end_on_error();
    fprintf(stderr, "%s\n", message.c_str());
    exit(1);
}

// check_error, for every SDK call: its report, status 1.
static void check(vt_error* error) {
    if (error == nullptr) return;
    end_on_error();
    check_error(error);
}

// The profile that Duoscope's rule chooses from a sensor's list, enabled; the
// list goes into the description.
static vt_stream_profile* enable(vt_pipeline* pipe, vt_config* config, vt_sensor_type sensor,
                                 std::vector<vt_format> formats, vtrec::json& list) {
    vt_error* error = nullptr;
    uint32_t count = 0;
    vt_stream_profile** profiles = vt_pipeline_get_stream_profiles(pipe, sensor, &count, &error);
    check(error);
    if (count == 0) {
        fail(sensor == VT_SENSOR_DEPTH ? "No depth stream profile found!"
                                       : "No color stream profile found!");
    }
    list = vtrec::describe_profiles(profiles, count, check);
    vt_stream_profile* profile = choose_profile(profiles, count, formats);
    vt_config_enable_stream(config, profile, &error);
    check(error);
    return profile;
}

// ESC on the terminal, read only while this program is in the foreground:
// setting the terminal's mode from the background would stop it.
static bool escape_pressed() {
    if (!isatty(0) || tcgetpgrp(0) != getpgrp()) return false;
    while (kbhit()) {
        int key = getch();
        if (key == 27 || key == 3) return true;  // ESC, or Ctrl-C read as a key
        if (key < 0) return false;
    }
    return false;
}

// The stop signals end the recording; one that was ignored when the program
// started (nohup) stays ignored.
static void handle_signals() {
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action;
        sigaction(s, nullptr, &action);
        if (action.sa_handler == SIG_IGN) continue;
        memset(&action, 0, sizeof action);
        action.sa_handler = on_stop_signal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(s, &action, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);  // a reader of the output that goes away ends nothing
    signal(SIGXFSZ, SIG_IGN);  // a file-size limit fails the write, which says so
}

static double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

int main(int argc, char** argv) {
    const char* usage = "Usage: camrecord FOLDER [SECONDS]\n";
    if (argc < 2 || argc > 3 || argv[1][0] == '\0') {
        fputs(usage, stderr);
        return 2;
    }
    if (argv[1][0] == '-') {
        fprintf(stderr, "camrecord: FOLDER must not begin with '-', not '%s'\n%s", argv[1], usage);
        return 2;
    }
    double seconds = 10;
    char* rest = nullptr;
    errno = 0;
    if (argc == 3) seconds = strtod(argv[2], &rest);
    if (argc == 3 && (rest == argv[2] || *rest != '\0' || errno != 0 || !std::isfinite(seconds) ||
                      seconds <= 0)) {
        fprintf(stderr, "camrecord: SECONDS must be a number above 0, not '%s'\n%s", argv[2],
                usage);
        return 2;
    }
    std::string folder = argv[1], problem;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (!vtrec::folder_usable(folder, problem))
        fail("camrecord: cannot record into " + folder + ": " + problem);
    handle_signals();

    vt_error* error = nullptr;
    vt_context* ctx = vt_create_context(&error);
    check(error);
    vt_device_list* dev_list = vt_query_device_list(ctx, &error);
    check(error);
    int dev_count = vt_device_list_device_count(dev_list, &error);
    check(error);
    if (dev_count == 0) fail("Device not found!");
    vt_device* dev = vt_get_device(dev_list, 0, &error);
    check(error);
    vtrec::json scenario = vtrec::describe_camera(dev, check);

    // The streams, chosen as Duoscope chooses them.
    vt_pipeline* pipe = vt_create_pipeline(&error);
    check(error);
    vt_config* config = vt_create_config(&error);
    check(error);
    vtrec::json& profiles = scenario["devices"][0]["profiles"];
    vt_stream_profile* depth_profile =
        enable(pipe, config, VT_SENSOR_DEPTH, {VT_FORMAT_YUYV, VT_FORMAT_Y16}, profiles["depth"]);
    vt_stream_profile* color_profile =
        enable(pipe, config, VT_SENSOR_COLOR, {VT_FORMAT_MJPG}, profiles["color"]);
    problem = vtrec::describe_recorded(scenario, depth_profile, color_profile, check);
    if (!problem.empty()) fail("camrecord: " + problem);
    bool replaced = false;
    std::string description = vtrec::description_text(scenario, replaced);
    if (replaced) {
        fprintf(stderr,
                "camrecord: some of the camera's texts are not UTF-8; scenario.json "
                "shows their odd bytes as replacement characters\n");
    }
    writer = vtrec::start_writer(folder, description, problem);
    if (writer == nullptr) fail("camrecord: " + problem);
    vt_pipeline_disable_frame_sync(pipe, &error);
    check(error);
    vt_pipeline_start_with_config(pipe, config, &error);
    check(error);

    bool terminal = isatty(1);
    if (terminal) {
        printf("Recording into %s for %g s; ESC or Ctrl-C ends it sooner.\n", folder.c_str(),
               seconds);
    }
    // Frame sets until the time is up, ESC, a stop signal, a failed write or
    // the most sets that a recording takes.
    int sets_came = 0, incomplete = 0;
    double longest_gap = 0;  // between two frame sets, in seconds
    Clock::time_point start = Clock::now(), last_key = start, last_progress = start, last_set;
    while (!stop_requested && since(start) < seconds && !vtrec::writer_counts(writer).full &&
           !vtrec::writer_failed(writer, problem)) {
        if (since(last_key) >= 0.05 && (last_key = Clock::now(), escape_pressed())) break;
        if (terminal && since(last_progress) >= 0.25) {
            last_progress = Clock::now();
            printf(
                "\r%s",
                vtrec::counts_text(vtrec::writer_counts(writer), incomplete, since(start)).c_str());
            fflush(stdout);
            progress_shown = true;
        }
        vt_frame* frame_set = vt_pipeline_wait_for_frames(pipe, 100, &error);
        check(error);
        if (frame_set == nullptr) continue;
        if (sets_came++ > 0) longest_gap = std::max(longest_gap, since(last_set));
        last_set = Clock::now();
        vt_frame* color_frame = vt_frame_set_color_frame(frame_set, &error);
        check(error);
        vt_frame* depth_frame = vt_frame_set_depth_frame(frame_set, &error);
        check(error);
        if (color_frame != nullptr && depth_frame != nullptr) {
            auto us = std::chrono::duration_cast<std::chrono::microseconds>(last_set - start);
            vtrec::queue_frames(writer, color_frame, depth_frame, us.count(), check);
        } else {
            incomplete++;
        }
        vt_delete_frame_set(frame_set, &error);
        check(error);
        for (vt_frame* frame : {color_frame, depth_frame}) {
            if (frame == nullptr) continue;
            vt_delete_frame(frame, &error);
            check(error);
        }
    }
    double recorded = since(start);
    vt_pipeline_stop(pipe, &error);
    check(error);
    vt_delete_pipeline(pipe, &error);
    check(error);

    // The report on standard output, what went wrong on standard error.
    vtrec::WriterCounts counts;
    bool failed =
        !vtrec::finish_writer(writer, !vtrec::writer_failed(writer, problem), counts, problem);
    writer = nullptr;
    if (terminal || sets_came > 0)
        printf("%s%s\n", progress_shown ? "\r" : "",
               vtrec::counts_text(counts, incomplete, recorded).c_str());
    int status = failed || counts.written == 0 ? 1 : 0;
    if (fflush(stdout) != 0) {
        fprintf(stderr, "camrecord: cannot write the report: %s\n", strerror(errno));
        status = 1;
    }
    if (failed) fprintf(stderr, "camrecord: %s\n", problem.c_str());
    if (counts.full) {
        fprintf(stderr, "camrecord: stopped at %d sets, the most that one recording takes\n",
                vtrec::kMostSets);
    }
    if (longest_gap >= kStallSeconds)
        fprintf(stderr, "camrecord: the stream stalled: no frame set came for %.1f s\n",
                longest_gap);
    if (counts.written > 0 && failed) {
        fprintf(stderr, "camrecord: the %d complete sets are kept; %s/scenario.json plays them\n",
                counts.written, folder.c_str());
    } else if (counts.written == 0) {
        std::string why = failed          ? "no set could be written"
                          : sets_came > 0 ? "none of the " + std::to_string(sets_came) +
                                                " frame sets that came could be recorded"
                          : stop_requested ? "stopped before a frame set came"
                                           : "no frame set came";
        fprintf(stderr, "camrecord: %s; nothing was recorded\n", why.c_str());
    }
    return status;
}
