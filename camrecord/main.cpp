// Camrecord: records the colour and the depth stream of the first camera into
// a folder that the simulated camera plays back as that same camera.
//
//   camrecord FOLDER [SECONDS]
//
// The folder's format, and the writer that keeps up with the camera, are the
// recording library's (recording/): this program describes the camera, waits
// for frame sets and hands each set that holds both frames to the writer.
//
// The recording ends after SECONDS (default 10), at ESC on the terminal, at
// Ctrl-C, SIGTERM or SIGHUP (unless ignored when it started), or when a file
// cannot be written (a full disk): the sets written until then are kept as a
// recording. Killed, it is still a recording of every set written.
//
// Exit status: 0 after a recording; 2 for a wrong command line; 1 for
// everything else: a folder that is not new or empty, no camera, a stream
// that cannot be recorded, no frame set recorded, a file that could not be
// written, a report that could not be written, and an SDK failure (reported
// by check_error).
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "check_error.h"
#include "conio.h"
#include "profile_choice.h"
#include "recording_format.h"
#include "recording_writer.h"

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

// A longer time without a frame set is reported as a stall of the stream.
static const double kStallSeconds = 1.0;

static volatile sig_atomic_t stop_requested = 0;
static vtrec::Writer* writer = nullptr;  // set while recording
static bool progress_shown = false;      // a progress line without its newline is on the terminal

static void on_stop_signal(int) {
    stop_requested = 1;
}

// Ends the recording, keeping what was written, complete when the recorder
// chose to end it: the counts, and false with the problem when a file could
// not be written.
static bool end_recording(bool complete, vtrec::WriterCounts& counts, std::string& problem) {
    bool ok = writer == nullptr || vtrec::finish_writer(writer, complete, counts, problem);
    writer = nullptr;
    return ok;
}

// Before the program ends on an error: the progress line closed, and the
// recording ended with the sets written so far, as an interrupted one.
static void end_on_error() {
    if (progress_shown) printf("\n");
    vtrec::WriterCounts counts;
    std::string problem;
    if (!end_recording(false, counts, problem)) fprintf(stderr, "camrecord: %s\n", problem.c_str());
}

// The one way to end on an error of the program's own: the message on
// standard error, status 1.
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

// A code by the name that scenario files give it, or as a number.
template <size_t N>
static json name_or_number(const vtrec::Named (&names)[N], uint32_t value) {
    for (const vtrec::Named& n : names) {
        if (n.value == value) return n.name;
    }
    return value;
}

static json profile_json(vt_stream_profile* profile) {
    vt_error* error = nullptr;
    json p;
    p["format"] = name_or_number(vtrec::kFormats, vt_stream_profile_format(profile, &error));
    check(error);
    p["width"] = vt_stream_profile_width(profile, &error);
    check(error);
    p["height"] = vt_stream_profile_height(profile, &error);
    check(error);
    p["fps"] = vt_stream_profile_fps(profile, &error);
    check(error);
    return p;
}

// "Y16 640x480 at 30 fps"
static std::string profile_text(const json& p) {
    std::string format =
        p["format"].is_string() ? p["format"].get<std::string>() : "format " + p["format"].dump();
    return format + " " + p["width"].dump() + "x" + p["height"].dump() + " at " + p["fps"].dump() +
           " fps";
}

static std::string text_or_empty(const char* text) {
    return text != nullptr ? text : "";
}

// The profile list of one sensor, and the entry that Duoscope's rule chooses.
static vt_stream_profile* choose(vt_pipeline* pipe, vt_sensor_type sensor,
                                 std::vector<vt_format> formats, json& list) {
    vt_error* error = nullptr;
    uint32_t count = 0;
    vt_stream_profile** profiles = vt_pipeline_get_stream_profiles(pipe, sensor, &count, &error);
    check(error);
    if (count == 0) {
        fail(sensor == VT_SENSOR_DEPTH ? "No depth stream profile found!"
                                       : "No color stream profile found!");
    }
    list = json::array();
    for (uint32_t i = 0; i < count; i++) list.push_back(profile_json(profiles[i]));
    return choose_profile(profiles, count, formats);
}

// "42 sets, 1.4 s, 12.3 MB, 2 dropped for the disk, 5 skipped (3 incomplete, 2 damaged)"
static std::string report(const vtrec::WriterCounts& c, int incomplete, double seconds) {
    char sizes[64];
    snprintf(sizes, sizeof sizes, "%.1f s, %.1f MB", seconds, (double)c.bytes / 1e6);
    std::string line = std::to_string(c.written) + " sets, " + sizes;
    if (c.dropped > 0) line += ", " + std::to_string(c.dropped) + " dropped for the disk";
    std::string why;
    const std::pair<int, const char*> reasons[] = {
        {incomplete, "incomplete"}, {c.damaged, "damaged"}, {c.other_size, "of another size"}};
    for (const auto& reason : reasons) {
        if (reason.first == 0) continue;
        why += (why.empty() ? "" : ", ") + std::to_string(reason.first) + " " + reason.second;
    }
    int skipped = incomplete + c.damaged + c.other_size;
    if (skipped > 0) line += ", " + std::to_string(skipped) + " skipped (" + why + ")";
    return line;
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

// The first device as the SDK shows it and Camprobe reports it, without
// its profiles.
static json describe_device() {
    vt_error* error = nullptr;
    json device;
    vt_context* ctx = vt_create_context(&error);
    check(error);
    vt_device_list* dev_list = vt_query_device_list(ctx, &error);
    check(error);
    int dev_count = vt_device_list_device_count(dev_list, &error);
    check(error);
    if (dev_count == 0) fail("Device not found!");
    vt_device* dev = vt_get_device(dev_list, 0, &error);
    check(error);
    vt_device_info* dev_info = vt_device_get_device_info(dev, &error);
    check(error);
    device["name"] = text_or_empty(vt_device_info_name(dev_info, &error));
    check(error);
    device["pid"] = vt_device_info_pid(dev_info, &error);
    check(error);
    device["vid"] = vt_device_info_vid(dev_info, &error);
    check(error);
    device["uid"] = text_or_empty(vt_device_info_uid(dev_info, &error));
    check(error);
    device["firmware_version"] = text_or_empty(vt_device_info_firmware_version(dev_info, &error));
    check(error);
    device["serial_number"] = text_or_empty(vt_device_info_serial_number(dev_info, &error));
    check(error);
    vt_sensor_list* sensor_list = vt_device_get_sensor_list(dev, &error);
    check(error);
    int sensor_count = vt_sensor_list_get_sensor_count(sensor_list, &error);
    check(error);
    device["sensors"] = json::array();
    for (int i = 0; i < sensor_count; i++) {
        device["sensors"].push_back(name_or_number(
            vtrec::kSensors, vt_sensor_list_get_sensor_type(sensor_list, i, &error)));
        check(error);
    }
    return device;
}

// The scenario file's text; texts that are not UTF-8 are written as U+FFFD,
// since JSON holds Unicode text only.
static std::string description_text(const json& scenario) {
    try {
        return scenario.dump(2) + "\n";
    } catch (const json::type_error&) {
        fprintf(stderr,
                "camrecord: some of the camera's texts are not UTF-8; scenario.json "
                "shows their odd bytes as replacement characters\n");
        return scenario.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    }
}

// What the capture loop saw.
struct Capture {
    int sets_came = 0;
    int incomplete = 0;      // sets without both frames
    double seconds = 0;      // how long it ran
    double longest_gap = 0;  // between two frame sets, in seconds
};

// Hands the frames of a whole set to the writer, with the time it came.
static void queue_frames(vt_frame* color, vt_frame* depth, int64_t microseconds) {
    vt_error* error = nullptr;
    const void* color_data = vt_frame_data(color, &error);
    check(error);
    uint32_t color_size = vt_frame_data_size(color, &error);
    check(error);
    const void* depth_data = vt_frame_data(depth, &error);
    check(error);
    uint32_t depth_size = vt_frame_data_size(depth, &error);
    check(error);
    uint32_t depth_width = vt_frame_width(depth, &error);
    check(error);
    uint32_t depth_height = vt_frame_height(depth, &error);
    check(error);
    vtrec::queue_set(writer, color_data, color_data != nullptr ? color_size : 0, depth_data,
                     depth_data != nullptr ? depth_size : 0, depth_width, depth_height,
                     microseconds);
}

// Waits for frame sets until the time is up, ESC, a stop signal or a failed
// write, handing each set that holds both frames to the writer.
static Capture capture(vt_pipeline* pipe, double seconds, bool terminal) {
    vt_error* error = nullptr;
    Capture c;
    std::string problem;
    Clock::time_point start = Clock::now(), last_key_check = start, last_progress = start;
    Clock::time_point last_set{};
    auto since = [](Clock::time_point t) {
        return std::chrono::duration<double>(Clock::now() - t).count();
    };
    while (!stop_requested && since(start) < seconds && !vtrec::writer_counts(writer).full &&
           !vtrec::writer_failed(writer, problem)) {
        Clock::time_point now = Clock::now();
        if (now - last_key_check >= std::chrono::milliseconds(50)) {
            last_key_check = now;
            if (escape_pressed()) break;
        }
        if (terminal && now - last_progress >= std::chrono::milliseconds(250)) {
            last_progress = now;
            printf("\r%s",
                   report(vtrec::writer_counts(writer), c.incomplete, since(start)).c_str());
            fflush(stdout);
            progress_shown = true;
        }
        vt_frame* frame_set = vt_pipeline_wait_for_frames(pipe, 100, &error);
        check(error);
        if (frame_set == nullptr) continue;
        now = Clock::now();
        if (c.sets_came++ > 0) {
            c.longest_gap =
                std::max(c.longest_gap, std::chrono::duration<double>(now - last_set).count());
        }
        last_set = now;
        vt_frame* color_frame = vt_frame_set_color_frame(frame_set, &error);
        check(error);
        vt_frame* depth_frame = vt_frame_set_depth_frame(frame_set, &error);
        check(error);
        if (color_frame != nullptr && depth_frame != nullptr) {
            queue_frames(
                color_frame, depth_frame,
                std::chrono::duration_cast<std::chrono::microseconds>(now - start).count());
        } else {
            c.incomplete++;
        }
        vt_delete_frame_set(frame_set, &error);
        check(error);
        if (color_frame != nullptr) {
            vt_delete_frame(color_frame, &error);
            check(error);
        }
        if (depth_frame != nullptr) {
            vt_delete_frame(depth_frame, &error);
            check(error);
        }
    }
    c.seconds = since(start);
    return c;
}

// Ends the recording: the report on standard output, what went wrong on
// standard error; the exit status.
static int end(const std::string& folder, const Capture& c, bool terminal) {
    vtrec::WriterCounts counts;
    std::string problem;
    std::string ignored;
    bool failed = !end_recording(!vtrec::writer_failed(writer, ignored), counts, problem);
    if (terminal || c.sets_came > 0) {
        printf("%s%s\n", progress_shown ? "\r" : "",
               report(counts, c.incomplete, c.seconds).c_str());
    }
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
    if (c.longest_gap >= kStallSeconds) {
        fprintf(stderr, "camrecord: the stream stalled: no frame set came for %.1f s\n",
                c.longest_gap);
    }
    if (counts.written == 0) {
        if (failed) {
            fprintf(stderr, "camrecord: no set could be written; nothing was recorded\n");
        } else if (c.sets_came > 0) {
            fprintf(stderr,
                    "camrecord: none of the %d frame sets that came could be recorded; nothing "
                    "was recorded\n",
                    c.sets_came);
        } else {
            fprintf(stderr, "camrecord: %s; nothing was recorded\n",
                    stop_requested ? "stopped before a frame set came" : "no frame set came");
        }
    } else if (failed) {
        fprintf(stderr, "camrecord: the %d complete sets are kept; %s/scenario.json plays them\n",
                counts.written, folder.c_str());
    }
    return status;
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
    if (argc == 3) {
        char* end = nullptr;
        errno = 0;
        seconds = strtod(argv[2], &end);
        if (end == argv[2] || *end != '\0' || errno != 0 || !std::isfinite(seconds) ||
            seconds <= 0) {
            fprintf(stderr, "camrecord: SECONDS must be a number above 0, not '%s'\n%s", argv[2],
                    usage);
            return 2;
        }
    }
    std::string folder = argv[1];
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    std::string problem;
    if (!vtrec::folder_usable(folder, problem)) {
        fail("camrecord: cannot record into " + folder + ": " + problem);
    }
    handle_signals();

    json scenario;
    scenario["sdk_version"] = {vt_get_major_version(), vt_get_minor_version(),
                               vt_get_patch_version()};
    json device = describe_device();

    // The streams, chosen as Duoscope chooses them.
    vt_error* error = nullptr;
    vt_pipeline* pipe = vt_create_pipeline(&error);
    check(error);
    vt_config* config = vt_create_config(&error);
    check(error);
    json& profiles = device["profiles"];
    vt_stream_profile* depth_profile =
        choose(pipe, VT_SENSOR_DEPTH, {VT_FORMAT_YUYV, VT_FORMAT_Y16}, profiles["depth"]);
    vt_config_enable_stream(config, depth_profile, &error);
    check(error);
    vt_stream_profile* color_profile =
        choose(pipe, VT_SENSOR_COLOR, {VT_FORMAT_MJPG}, profiles["color"]);
    vt_config_enable_stream(config, color_profile, &error);
    check(error);
    json depth_recorded = profile_json(depth_profile);
    json color_recorded = profile_json(color_profile);
    scenario["devices"] = json::array({device});
    scenario["stream"] = {{"source", "."},
                          {"recorded", {{"depth", depth_recorded}, {"color", color_recorded}}}};

    vt_format depth_format = vt_stream_profile_format(depth_profile, &error);
    check(error);
    vt_format color_format = vt_stream_profile_format(color_profile, &error);
    check(error);
    if (!vtrec::holds_16bit_depth(depth_format) || color_format != VT_FORMAT_MJPG) {
        fail("camrecord: the chosen streams are depth " + profile_text(depth_recorded) +
             " and colour " + profile_text(color_recorded) +
             ", but a recording holds depth as 16-bit samples (Y16, Y12, YUYV, YUY2) and colour "
             "as MJPG");
    }

    writer = vtrec::start_writer(folder, description_text(scenario), problem);
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
    Capture c = capture(pipe, seconds, terminal);
    vt_pipeline_stop(pipe, &error);
    check(error);
    vt_delete_pipeline(pipe, &error);
    check(error);
    return end(folder, c, terminal);
}
