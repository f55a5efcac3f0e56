// Camrecord: records the colour and the depth stream of the first camera into
// a folder that the simulated camera plays back as that same camera.
//
//   camrecord FOLDER [SECONDS]
//
//   FOLDER/color/NNNNNN.jpg  the colour frames, byte for byte as delivered (MJPEG)
//   FOLDER/depth/NNNNNN.png  the depth frames, as 16-bit grey PNG
//   FOLDER/scenario.json     the camera as the SDK showed it, written last
//
// Only frame sets that hold both frames are written, the two files of a set
// under one number. A set is written whole or not at all: its files are
// written under hidden temporary names and renamed when both are complete.
// scenario.json is written only when at least one set is, so a folder that
// holds it is a complete recording.
//
// The recording ends after SECONDS (default 10), at ESC on the terminal, at
// Ctrl-C, SIGTERM or SIGHUP, or when a file cannot be written (a full disk):
// the sets written until then are kept as a recording.
//
// Exit status: 0 after a recording; 2 for a wrong command line; 1 for
// everything else: a folder that is not new or empty, no camera, a stream
// that cannot be recorded, no frame set, a file that could not be written, and
// an SDK failure (reported by check_error).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "check_error.h"
#include "conio.h"
#include "profile_choice.h"

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

// Sets are numbered with six digits, so that byte-wise name order is the
// order of recording.
static const int kMostSets = 1000000;

static volatile sig_atomic_t stop_requested = 0;

// What is on disk: the folder (and whether this program made it), the files
// of the set being written, and the scenario to write at the end.
static std::string folder;
static bool made_folder = false;
static bool made_subfolders = false;
static std::vector<std::string> partial_files;
static json scenario;
static int sets_written = 0;
static bool progress_shown = false;  // a progress line without its newline is on the terminal

static void on_stop_signal(int) {
    stop_requested = 1;
}

static void usage() {
    fprintf(stderr, "Usage: camrecord FOLDER [SECONDS]\n");
}

static bool is_empty_folder(const std::string& path, std::string& problem) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        problem = strerror(errno);
        return false;
    }
    bool empty = true;
    while (struct dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) empty = false;
    }
    closedir(dir);
    if (!empty) problem = "it is not empty; give a new or an empty folder";
    return empty;
}

// The folder may not exist yet (it is made when the recording starts), or be
// an empty folder. Nothing that exists is ever overwritten.
static bool folder_usable(const std::string& path) {
    struct stat st;
    std::string problem;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;
        problem = strerror(errno);
    } else if (!S_ISDIR(st.st_mode)) {
        problem = "it exists and is not a folder";
    } else if (is_empty_folder(path, problem)) {
        return true;
    }
    fprintf(stderr, "camrecord: cannot record into %s: %s\n", path.c_str(), problem.c_str());
    return false;
}

static bool make_folders() {
    if (mkdir(folder.c_str(), 0777) == 0) {
        made_folder = true;
    } else if (errno != EEXIST) {
        fprintf(stderr, "camrecord: cannot make the folder %s: %s\n", folder.c_str(),
                strerror(errno));
        return false;
    } else if (!folder_usable(folder)) {
        return false;  // made by someone else meanwhile
    }
    for (const char* sub : {"/color", "/depth"}) {
        if (mkdir((folder + sub).c_str(), 0777) != 0) {
            fprintf(stderr, "camrecord: cannot make the folder %s%s: %s\n", folder.c_str(), sub,
                    strerror(errno));
            rmdir((folder + "/color").c_str());
            if (made_folder) rmdir(folder.c_str());
            return false;
        }
    }
    made_subfolders = true;
    return true;
}

static void remove_partial_set() {
    for (const std::string& path : partial_files) unlink(path.c_str());
    partial_files.clear();
}

static void remove_empty_recording() {
    rmdir((folder + "/color").c_str());
    rmdir((folder + "/depth").c_str());
    if (made_folder) rmdir(folder.c_str());
}

static std::string set_name(int number, const char* extension) {
    char name[32];
    snprintf(name, sizeof name, "%06d%s", number, extension);
    return name;
}

static bool write_all(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        data += n;
        size -= (size_t)n;
    }
    return true;
}

// Writes a new file (never replacing one), on the disk itself when durable,
// and closes it; false with errno set.
static bool write_new_file(const std::string& path, const uint8_t* data, size_t size,
                           bool durable = false) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    partial_files.push_back(path);
    bool ok = write_all(fd, data, size) && (!durable || fsync(fd) == 0);
    int saved = errno;
    if (close(fd) != 0 && ok) return false;
    errno = saved;
    return ok;
}

struct PngError {
    char message[200];
};

static void on_png_error(png_structp png, png_const_charp message) {
    PngError* e = (PngError*)png_get_error_ptr(png);
    snprintf(e->message, sizeof e->message, "%s", message);
    png_longjmp(png, 1);
}

static void on_png_warning(png_structp, png_const_charp) {}

// Encodes 16-bit samples in the machine's byte order as a grey PNG into the
// open file. libpng reports errors by a long jump back here, so the function
// holds no object with a destructor; the caller owns the rows.
static bool write_depth_png(FILE* file, png_bytep* rows, uint32_t width, uint32_t height,
                            PngError& e) {
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &e, on_png_error, on_png_warning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        snprintf(e.message, sizeof e.message, "out of memory");
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    // Fast rather than small: the frames keep coming while one is written.
    png_set_compression_level(png, 1);
    png_set_filter(png, 0, PNG_FILTER_UP);
    png_set_IHDR(png, info, width, height, 16, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    png_set_swap(png);  // PNG keeps 16-bit samples most significant byte first
#endif
    png_write_image(png, rows);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

// Writes a new PNG file; false with the problem in the text.
static bool write_png_file(const std::string& path, const uint8_t* depth, uint32_t width,
                           uint32_t height, std::string& problem) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        problem = strerror(errno);
        return false;
    }
    partial_files.push_back(path);
    FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        problem = strerror(errno);
        close(fd);
        return false;
    }
    std::vector<png_bytep> rows(height);
    for (uint32_t y = 0; y < height; y++) {
        rows[y] = (png_bytep)(depth + (size_t)y * width * 2);
    }
    PngError e{};
    errno = 0;
    bool ok = write_depth_png(file, rows.data(), width, height, e);
    // libpng's own messages say little about a failed write; errno says why.
    int saved = errno;
    if (!ok) problem = saved != 0 ? strerror(saved) : e.message;
    if (fclose(file) != 0 && ok) {
        problem = strerror(errno);
        ok = false;
    }
    return ok;
}

// The recording's description is written to a hidden file first, made
// durable together with the frames, and then renamed into place.
static bool write_scenario() {
    std::string text;
    try {
        text = scenario.dump(2) + "\n";
    } catch (const json::type_error&) {
        // JSON holds Unicode text only: bytes of the camera's texts that are
        // not UTF-8 are written as U+FFFD.
        fprintf(stderr,
                "camrecord: some of the camera's texts are not UTF-8; scenario.json "
                "shows their odd bytes as replacement characters\n");
        text = scenario.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    }
    std::string path = folder + "/scenario.json";
    std::string temp = folder + "/.scenario.json.part";
    // The frames reach the disk before the file that claims them.
    int dir_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) syncfs(dir_fd);
    bool ok = write_new_file(temp, (const uint8_t*)text.data(), text.size(), true) &&
              rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        fprintf(stderr, "camrecord: cannot write %s: %s\n", path.c_str(), strerror(errno));
        fprintf(stderr, "camrecord: the %d sets in %s cannot be played without it\n", sets_written,
                folder.c_str());
        remove_partial_set();
    }
    partial_files.clear();
    if (dir_fd >= 0) {
        if (ok) fsync(dir_fd);
        close(dir_fd);
    }
    return ok;
}

// check_error for the calls made once the folder exists: an SDK failure
// still leaves the sets written so far as a recording.
static void check(vt_error* error) {
    if (error == nullptr) return;
    if (progress_shown) printf("\n");
    remove_partial_set();
    if (made_subfolders) {
        if (sets_written > 0) {
            if (write_scenario()) {
                fprintf(stderr,
                        "camrecord: the %d complete sets recorded before the failure are kept; "
                        "%s/scenario.json plays them\n",
                        sets_written, folder.c_str());
            }
        } else {
            remove_empty_recording();
        }
    }
    check_error(error);
}

struct SetSizes {
    bool known = false;
    int color_width = 0, color_height = 0;
    uint32_t depth_width = 0, depth_height = 0;
};

enum class SetResult { written, skipped, failed };

// Writes one frame set as the next pair of files. A set whose colour bytes
// are not a JPEG picture, whose depth bytes are not two per pixel, or whose
// sizes differ from the first set's is skipped: a recording plays pictures
// of one size only. A file that cannot be written fails the set, with the
// problem in the text; nothing of the set is left then.
static SetResult write_set(vt_frame* color, vt_frame* depth, tjhandle tj, SetSizes& sizes,
                           uint64_t& bytes, std::string& problem) {
    vt_error* error = nullptr;
    const uint8_t* color_data = (const uint8_t*)vt_frame_data(color, &error);
    check(error);
    uint32_t color_size = vt_frame_data_size(color, &error);
    check(error);
    const uint8_t* depth_data = (const uint8_t*)vt_frame_data(depth, &error);
    check(error);
    uint32_t depth_size = vt_frame_data_size(depth, &error);
    check(error);
    uint32_t depth_width = vt_frame_width(depth, &error);
    check(error);
    uint32_t depth_height = vt_frame_height(depth, &error);
    check(error);

    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (color_data == nullptr || depth_data == nullptr ||
        tjDecompressHeader3(tj, color_data, color_size, &width, &height, &subsampling,
                            &colorspace) != 0) {
        return SetResult::skipped;
    }
    if (depth_width == 0 || depth_height == 0 ||
        (uint64_t)depth_width * depth_height * 2 != depth_size) {
        return SetResult::skipped;
    }
    if (!sizes.known) {
        sizes = {true, width, height, depth_width, depth_height};
    } else if (width != sizes.color_width || height != sizes.color_height ||
               depth_width != sizes.depth_width || depth_height != sizes.depth_height) {
        return SetResult::skipped;
    }

    std::string color_path = folder + "/color/" + set_name(sets_written, ".jpg");
    std::string depth_path = folder + "/depth/" + set_name(sets_written, ".png");
    std::string color_temp = folder + "/color/." + set_name(sets_written, ".jpg.part");
    std::string depth_temp = folder + "/depth/." + set_name(sets_written, ".png.part");
    std::string failed_path;
    if (!write_new_file(color_temp, color_data, color_size)) {
        failed_path = color_path;
        problem = strerror(errno);
    } else if (!write_png_file(depth_temp, depth_data, depth_width, depth_height, problem)) {
        failed_path = depth_path;
    } else if (rename(color_temp.c_str(), color_path.c_str()) != 0) {
        failed_path = color_path;
        problem = strerror(errno);
    } else {
        partial_files.push_back(color_path);
        if (rename(depth_temp.c_str(), depth_path.c_str()) != 0) {
            failed_path = depth_path;
            problem = strerror(errno);
        }
    }
    if (!failed_path.empty()) {
        problem = "cannot write " + failed_path + ": " + problem;
        remove_partial_set();
        return SetResult::failed;
    }
    partial_files.clear();
    struct stat st;
    bytes += color_size;
    if (stat(depth_path.c_str(), &st) == 0) bytes += (uint64_t)st.st_size;
    sets_written++;
    return SetResult::written;
}

// Formats and sensor kinds by the names that scenario files use, or as
// numbers when they have none.
static json format_json(vt_format format) {
    switch (format) {
        case VT_FORMAT_YUYV:
            return "YUYV";
        case VT_FORMAT_YUY2:
            return "YUY2";
        case VT_FORMAT_MJPG:
            return "MJPG";
        case VT_FORMAT_Y16:
            return "Y16";
        case VT_FORMAT_Y8:
            return "Y8";
        case VT_FORMAT_Y12:
            return "Y12";
    }
    return (uint32_t)format;
}

static json sensor_json(vt_sensor_type type) {
    switch (type) {
        case VT_SENSOR_UNKNOWN:
            return "unknown";
        case VT_SENSOR_IR:
            return "ir";
        case VT_SENSOR_COLOR:
            return "color";
        case VT_SENSOR_DEPTH:
            return "depth";
        case VT_SENSOR_IMU:
            return "imu";
    }
    return (uint32_t)type;
}

static json profile_json(vt_stream_profile* profile) {
    vt_error* error = nullptr;
    json p;
    vt_format format = vt_stream_profile_format(profile, &error);
    check_error(error);
    p["format"] = format_json(format);
    p["width"] = vt_stream_profile_width(profile, &error);
    check_error(error);
    p["height"] = vt_stream_profile_height(profile, &error);
    check_error(error);
    p["fps"] = vt_stream_profile_fps(profile, &error);
    check_error(error);
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

// A stream that a recording can hold: colour as JPEG pictures, depth as
// two bytes per pixel.
static bool recordable(vt_format format, bool color) {
    if (color) return format == VT_FORMAT_MJPG;
    return format == VT_FORMAT_Y16 || format == VT_FORMAT_Y12 || format == VT_FORMAT_YUYV ||
           format == VT_FORMAT_YUY2;
}

static void show_progress(bool final, double seconds, uint64_t bytes, int skipped) {
    char line[160];
    int n = snprintf(line, sizeof line, "%d sets, %.1f s, %.1f MB", sets_written, seconds,
                     (double)bytes / 1e6);
    if (skipped > 0) {
        snprintf(line + n, sizeof line - n, ", %d skipped", skipped);
    }
    if (final) {
        printf("%s%s\n", progress_shown ? "\r" : "", line);
        progress_shown = false;
    } else {
        printf("\r%s", line);
        fflush(stdout);
        progress_shown = true;
    }
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

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || argv[1][0] == '\0') {
        usage();
        return 2;
    }
    double seconds = 10;
    if (argc == 3) {
        char* end = nullptr;
        errno = 0;
        seconds = strtod(argv[2], &end);
        if (end == argv[2] || *end != '\0' || errno != 0 || !std::isfinite(seconds) ||
            seconds <= 0) {
            fprintf(stderr, "camrecord: SECONDS must be a number above 0, not '%s'\n", argv[2]);
            usage();
            return 2;
        }
    }
    folder = argv[1];
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (!folder_usable(folder)) return 1;

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a reader of the output that goes away ends nothing

    // The camera as the SDK shows it, as Camprobe reports it.
    vt_error* error = nullptr;
    json device;
    scenario["sdk_version"] = {vt_get_major_version(), vt_get_minor_version(),
                               vt_get_patch_version()};
    vt_context* ctx = vt_create_context(&error);
    check_error(error);
    vt_device_list* dev_list = vt_query_device_list(ctx, &error);
    check_error(error);
    int dev_count = vt_device_list_device_count(dev_list, &error);
    check_error(error);
    if (dev_count == 0) {
        fprintf(stderr, "Device not found!\n");
        return 1;
    }
    vt_device* dev = vt_get_device(dev_list, 0, &error);
    check_error(error);
    vt_device_info* dev_info = vt_device_get_device_info(dev, &error);
    check_error(error);
    device["name"] = text_or_empty(vt_device_info_name(dev_info, &error));
    check_error(error);
    device["pid"] = vt_device_info_pid(dev_info, &error);
    check_error(error);
    device["vid"] = vt_device_info_vid(dev_info, &error);
    check_error(error);
    device["uid"] = text_or_empty(vt_device_info_uid(dev_info, &error));
    check_error(error);
    device["firmware_version"] = text_or_empty(vt_device_info_firmware_version(dev_info, &error));
    check_error(error);
    device["serial_number"] = text_or_empty(vt_device_info_serial_number(dev_info, &error));
    check_error(error);
    vt_sensor_list* sensor_list = vt_device_get_sensor_list(dev, &error);
    check_error(error);
    int sensor_count = vt_sensor_list_get_sensor_count(sensor_list, &error);
    check_error(error);
    device["sensors"] = json::array();
    for (int i = 0; i < sensor_count; i++) {
        vt_sensor_type type = vt_sensor_list_get_sensor_type(sensor_list, i, &error);
        check_error(error);
        device["sensors"].push_back(sensor_json(type));
    }

    // The streams, chosen as Duoscope chooses them.
    vt_pipeline* pipe = vt_create_pipeline(&error);
    check_error(error);
    vt_config* config = vt_create_config(&error);
    check_error(error);
    uint32_t depth_profile_count = 0;
    vt_stream_profile** depth_profiles =
        vt_pipeline_get_stream_profiles(pipe, VT_SENSOR_DEPTH, &depth_profile_count, &error);
    check_error(error);
    if (depth_profile_count == 0) {
        fprintf(stderr, "No depth stream profile found!\n");
        return 1;
    }
    vt_stream_profile* depth_profile =
        choose_profile(depth_profiles, depth_profile_count, {VT_FORMAT_YUYV, VT_FORMAT_Y16});
    vt_config_enable_stream(config, depth_profile, &error);
    check_error(error);
    uint32_t color_profile_count = 0;
    vt_stream_profile** color_profiles =
        vt_pipeline_get_stream_profiles(pipe, VT_SENSOR_COLOR, &color_profile_count, &error);
    check_error(error);
    if (color_profile_count == 0) {
        fprintf(stderr, "No color stream profile found!\n");
        return 1;
    }
    vt_stream_profile* color_profile =
        choose_profile(color_profiles, color_profile_count, {VT_FORMAT_MJPG});
    vt_config_enable_stream(config, color_profile, &error);
    check_error(error);

    json& profiles = device["profiles"];
    profiles["depth"] = json::array();
    for (uint32_t i = 0; i < depth_profile_count; i++) {
        profiles["depth"].push_back(profile_json(depth_profiles[i]));
    }
    profiles["color"] = json::array();
    for (uint32_t i = 0; i < color_profile_count; i++) {
        profiles["color"].push_back(profile_json(color_profiles[i]));
    }
    json depth_recorded = profile_json(depth_profile);
    json color_recorded = profile_json(color_profile);
    scenario["devices"] = json::array({device});
    scenario["stream"] = {{"source", "."},
                          {"recorded", {{"depth", depth_recorded}, {"color", color_recorded}}}};

    vt_format depth_format = vt_stream_profile_format(depth_profile, &error);
    check_error(error);
    vt_format color_format = vt_stream_profile_format(color_profile, &error);
    check_error(error);
    if (!recordable(depth_format, false) || !recordable(color_format, true)) {
        fprintf(stderr,
                "camrecord: the chosen streams are depth %s and colour %s, but a recording "
                "holds depth as 16-bit samples (Y16, Y12, YUYV, YUY2) and colour as MJPG\n",
                profile_text(depth_recorded).c_str(), profile_text(color_recorded).c_str());
        return 1;
    }

    tjhandle tj = tjInitDecompress();
    if (tj == nullptr) {
        fprintf(stderr, "camrecord: cannot start the JPEG decoder\n");
        return 1;
    }
    if (!make_folders()) return 1;

    vt_pipeline_disable_frame_sync(pipe, &error);
    check(error);
    vt_pipeline_start_with_config(pipe, config, &error);
    check(error);

    bool terminal = isatty(1);
    if (terminal) {
        printf("Recording into %s for %g s; ESC or Ctrl-C ends it sooner.\n", folder.c_str(),
               seconds);
    }
    SetSizes sizes;
    uint64_t bytes = 0;
    int skipped = 0;
    std::string problem;
    bool failed = false;
    Clock::time_point start = Clock::now(), last_key_check = start, last_progress = start;
    auto elapsed = [&]() { return std::chrono::duration<double>(Clock::now() - start).count(); };
    while (!stop_requested && elapsed() < seconds && sets_written < kMostSets) {
        Clock::time_point now = Clock::now();
        if (now - last_key_check >= std::chrono::milliseconds(50)) {
            last_key_check = now;
            if (escape_pressed()) break;
        }
        if (terminal && now - last_progress >= std::chrono::milliseconds(250)) {
            last_progress = now;
            show_progress(false, elapsed(), bytes, skipped);
        }
        vt_frame* frame_set = vt_pipeline_wait_for_frames(pipe, 100, &error);
        check(error);
        if (frame_set == nullptr) continue;
        vt_frame* color_frame = vt_frame_set_color_frame(frame_set, &error);
        check(error);
        vt_frame* depth_frame = vt_frame_set_depth_frame(frame_set, &error);
        check(error);
        SetResult result = SetResult::skipped;
        if (color_frame != nullptr && depth_frame != nullptr) {
            result = write_set(color_frame, depth_frame, tj, sizes, bytes, problem);
            if (result == SetResult::skipped) skipped++;
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
        if (result == SetResult::failed) {
            failed = true;
            break;
        }
    }
    double recorded_seconds = elapsed();
    tjDestroy(tj);

    vt_pipeline_stop(pipe, &error);
    check(error);
    vt_delete_pipeline(pipe, &error);
    check(error);

    if (terminal || sets_written > 0) show_progress(true, recorded_seconds, bytes, skipped);
    if (failed) fprintf(stderr, "camrecord: %s\n", problem.c_str());
    if (sets_written == kMostSets) {
        fprintf(stderr, "camrecord: stopped at %d sets, the most that one recording numbers\n",
                kMostSets);
    }
    if (sets_written == 0) {
        remove_empty_recording();
        fprintf(stderr, "camrecord: %s; nothing was recorded\n",
                failed           ? "no set could be written"
                : stop_requested ? "stopped before a frame set with both frames came"
                                 : "no frame set with both frames came");
        return 1;
    }
    if (!write_scenario()) return 1;
    if (failed) {
        fprintf(stderr, "camrecord: the %d complete sets are kept; %s/scenario.json plays them\n",
                sets_written, folder.c_str());
        return 1;
    }
    return 0;
}
