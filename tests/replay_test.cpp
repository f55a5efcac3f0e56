// The simulated camera playing a recording (stream.source): a folder of
// color/*.jpg and depth/*.png that each test writes for itself.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "harness.h"
#include "sim_fixture.h"
#include "vantra_sdk.h"
#include "vantra_sim.h"

namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<uint8_t>;

Bytes jpeg_of(int width, int height, int shade) {
    cv::Mat picture(height, width, CV_8UC3, cv::Scalar(shade, 255 - shade, (shade * 3) % 256));
    cv::rectangle(picture, cv::Rect(0, 0, width / 2, height / 2), cv::Scalar(0, 0, 0), -1);
    Bytes jpeg;
    cv::imencode(".jpg", picture, jpeg);
    return jpeg;
}

void write_bytes(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write((const char*)bytes.data(), bytes.size());
}

Bytes read_bytes(const std::string& path) {
    std::string text = harness::read_file(path);
    return Bytes(text.begin(), text.end());
}

// A recording of a few frames. Files are written in an order other than
// their names' order, and every frame differs from the others.
struct Recording {
    static constexpr int kColorW = 64, kColorH = 48, kDepthW = 32, kDepthH = 24;
    // Names out of creation order: byte-wise, "1000…" comes before "999…".
    // Either extension of JPEG files plays.
    const std::vector<std::string> color_names{"0999.500.jpg", "0999.900.jpeg", "1000.100.jpg"};
    const std::vector<std::string> depth_names{"0999.500.png", "1000.100.png"};

    std::string folder;
    std::vector<Bytes> color;                  // file contents, in name order
    std::vector<std::vector<uint16_t>> depth;  // millimetres, in name order

    explicit Recording(const std::string& where) : folder(where) {
        fs::create_directories(folder + "/color");
        fs::create_directories(folder + "/depth");
        color.resize(color_names.size());
        depth.resize(depth_names.size());
        for (size_t i = color_names.size(); i-- > 0;) {
            color[i] = jpeg_of(kColorW, kColorH, 40 + 70 * (int)i);
            write_bytes(folder + "/color/" + color_names[i], color[i]);
        }
        for (size_t i = depth_names.size(); i-- > 0;) {
            cv::Mat mm(kDepthH, kDepthW, CV_16UC1);
            for (int y = 0; y < kDepthH; y++) {
                for (int x = 0; x < kDepthW; x++) {
                    // Values above 255 and above 32767, so that byte order matters.
                    mm.at<uint16_t>(y, x) = (uint16_t)(300 + 1000 * i + 37 * x + 1301 * y);
                }
            }
            mm.at<uint16_t>(0, 0) = 0;
            mm.at<uint16_t>(1, 0) = 65535;
            depth[i].assign((const uint16_t*)mm.datastart, (const uint16_t*)mm.dataend);
            EXPECT_TRUE(cv::imwrite(folder + "/depth/" + depth_names[i], mm));
        }
    }
    std::string color_path(size_t i) const { return folder + "/color/" + color_names[i]; }
    std::string depth_path(size_t i) const { return folder + "/depth/" + depth_names[i]; }
};

// One MJPEG and one Y16 profile at 30 fps, sized 1 by 1 in the scenario: the
// recording gives the sizes.
std::string scenario(const std::string& source, const char* color_format = "MJPG",
                     const char* depth_format = "Y16", bool realtime = false) {
    return std::string(R"({"devices": [{"profiles": {)") + R"("color": [{"format": ")" +
           color_format + R"(", "width": 1, "height": 1, "fps": 30}], )" +
           R"("depth": [{"format": ")" + depth_format +
           R"(", "width": 1, "height": 1, "fps": 30}]}}], )" + R"("stream": {"realtime": )" +
           (realtime ? "true" : "false") + R"(, "source": ")" + source + R"("}})";
}

class Replay : public SimTest {
  protected:
    std::vector<vt_stream_profile*> profiles(vt_pipeline* pipe, vt_sensor_type sensor) {
        uint32_t count = 0;
        vt_stream_profile** list = vt_pipeline_get_stream_profiles(pipe, sensor, &count, &error);
        EXPECT_EQ(error, nullptr);
        return std::vector<vt_stream_profile*>(list, list + count);
    }
    // Starts a pipeline with these entries of the lists.
    vt_pipeline* start(size_t depth = 0, size_t color = 0) {
        vt_pipeline* pipe = vt_create_pipeline(&error);
        EXPECT_EQ(error, nullptr);
        if (pipe == nullptr) return nullptr;
        vt_config* config = vt_create_config(&error);
        vt_config_enable_stream(config, profiles(pipe, VT_SENSOR_DEPTH).at(depth), &error);
        vt_config_enable_stream(config, profiles(pipe, VT_SENSOR_COLOR).at(color), &error);
        vt_pipeline_start_with_config(pipe, config, &error);
        return pipe;
    }
    Bytes data_of(vt_frame* frame) {
        const uint8_t* data = (const uint8_t*)vt_frame_data(frame, &error);
        return Bytes(data, data + vt_frame_data_size(frame, &error));
    }
    std::string message() const { return error != nullptr ? vt_error_message(error) : ""; }
};

TEST_F(Replay, DeliversTheFilesAsTheyAreInNameOrderAndLoops) {
    Recording rec(dir.path("rec"));
    use(scenario(rec.folder));
    vt_pipeline* pipe = start();
    ASSERT_EQ(error, nullptr) << message();
    // Three colour and two depth frames: each folder loops on its own.
    for (size_t n = 0; n < 7; n++) {
        SCOPED_TRACE("frame set " + std::to_string(n));
        vt_frame* set = vt_pipeline_wait_for_frames(pipe, 1000, &error);
        ASSERT_NE(set, nullptr) << message();
        vt_frame* color = vt_frame_set_color_frame(set, &error);
        vt_frame* depth = vt_frame_set_depth_frame(set, &error);
        ASSERT_NE(color, nullptr);
        ASSERT_NE(depth, nullptr);
        EXPECT_EQ(vt_frame_format(color, &error), VT_FORMAT_MJPG);
        EXPECT_EQ(vt_frame_width(color, &error), (uint32_t)Recording::kColorW);
        EXPECT_EQ(vt_frame_height(color, &error), (uint32_t)Recording::kColorH);
        EXPECT_TRUE(data_of(color) == rec.color[n % 3]);

        EXPECT_EQ(vt_frame_format(depth, &error), VT_FORMAT_Y16);
        EXPECT_EQ(vt_frame_width(depth, &error), (uint32_t)Recording::kDepthW);
        EXPECT_EQ(vt_frame_height(depth, &error), (uint32_t)Recording::kDepthH);
        Bytes mm = data_of(depth);
        const std::vector<uint16_t>& expected = rec.depth[n % 2];
        ASSERT_EQ(mm.size(), expected.size() * 2);
        EXPECT_EQ(std::memcmp(mm.data(), expected.data(), mm.size()), 0);
        vt_delete_frame_set(set, &error);
        vt_delete_frame(color, &error);
        vt_delete_frame(depth, &error);
        ASSERT_EQ(error, nullptr) << message();
    }
    vt_delete_pipeline(pipe, &error);
    EXPECT_EQ(error, nullptr);
}

TEST_F(Replay, RealtimeStreamPlaysTheRecording) {
    Recording rec(dir.path("rec"));
    use(scenario(rec.folder, "MJPG", "YUYV", true));
    vt_pipeline* pipe = start();
    ASSERT_EQ(error, nullptr) << message();
    int seen = 0;
    for (int tries = 0; tries < 200 && seen < 8; tries++) {
        vt_frame* set = vt_pipeline_wait_for_frames(pipe, 100, &error);
        ASSERT_EQ(error, nullptr) << message();
        if (set == nullptr) continue;
        vt_frame* color = vt_frame_set_color_frame(set, &error);
        vt_frame* depth = vt_frame_set_depth_frame(set, &error);
        if (color != nullptr) {
            Bytes jpeg = data_of(color);
            EXPECT_TRUE(jpeg == rec.color[0] || jpeg == rec.color[1] || jpeg == rec.color[2]);
            vt_delete_frame(color, &error);
        }
        if (depth != nullptr) {
            Bytes mm = data_of(depth);
            ASSERT_EQ(mm.size(), rec.depth[0].size() * 2);
            EXPECT_TRUE(std::memcmp(mm.data(), rec.depth[0].data(), mm.size()) == 0 ||
                        std::memcmp(mm.data(), rec.depth[1].data(), mm.size()) == 0);
            vt_delete_frame(depth, &error);
        }
        vt_delete_frame_set(set, &error);
        seen++;
    }
    EXPECT_EQ(seen, 8);
    vt_delete_pipeline(pipe, &error);
    EXPECT_EQ(error, nullptr);
}

TEST_F(Replay, ProfilesTakeTheRecordingsSizesAndKeepFormatsAndRates) {
    Recording rec(dir.path("rec"));
    // The default camera: sizes differ between its profiles, so some entries
    // become repeats and are left out.
    use(std::string(R"({"stream": {"source": ")") + rec.folder + R"("}})");
    vt_pipeline* pipe = vt_create_pipeline(&error);
    ASSERT_EQ(error, nullptr) << message();
    struct Entry {
        vt_format format;
        uint32_t fps;
    };
    auto check = [&](vt_sensor_type sensor, const std::vector<Entry>& expected, uint32_t width,
                     uint32_t height) {
        std::vector<vt_stream_profile*> list = profiles(pipe, sensor);
        ASSERT_EQ(list.size(), expected.size());
        for (size_t i = 0; i < list.size(); i++) {
            EXPECT_EQ(vt_stream_profile_format(list[i], &error), expected[i].format) << i;
            EXPECT_EQ(vt_stream_profile_fps(list[i], &error), expected[i].fps) << i;
            EXPECT_EQ(vt_stream_profile_width(list[i], &error), width) << i;
            EXPECT_EQ(vt_stream_profile_height(list[i], &error), height) << i;
        }
    };
    check(VT_SENSOR_COLOR,
          {{VT_FORMAT_YUYV, 30},
           {VT_FORMAT_MJPG, 15},
           {VT_FORMAT_MJPG, 60},
           {VT_FORMAT_MJPG, 30},
           {VT_FORMAT_YUYV, 60}},
          Recording::kColorW, Recording::kColorH);
    check(VT_SENSOR_DEPTH,
          {{VT_FORMAT_Y16, 15},
           {VT_FORMAT_YUYV, 15},
           {VT_FORMAT_Y8, 30},
           {VT_FORMAT_Y16, 30},
           {VT_FORMAT_YUYV, 30}},
          Recording::kDepthW, Recording::kDepthH);
}

TEST_F(Replay, RecordedProfilesPlayTheRecordingTheOthersStayAsTheyWereAndCannotStream) {
    Recording rec(dir.path("rec"));
    // The default camera's depth[4] and color[3] were recorded.
    use(std::string(R"({"stream": {"realtime": false, "source": ")") + rec.folder +
        R"(", "recorded": {
            "depth": {"format": "Y16", "width": 640, "height": 480, "fps": 30},
            "color": {"format": "MJPG", "width": 1280, "height": 720, "fps": 30}}}})");
    vt_pipeline* pipe = start(4, 3);
    ASSERT_EQ(error, nullptr) << message();
    std::vector<vt_stream_profile*> depth = profiles(pipe, VT_SENSOR_DEPTH);
    std::vector<vt_stream_profile*> color = profiles(pipe, VT_SENSOR_COLOR);
    EXPECT_EQ(depth.size(), 8u);
    EXPECT_EQ(color.size(), 7u);
    EXPECT_EQ(vt_stream_profile_width(color[4], &error), 1920u);
    EXPECT_EQ(vt_stream_profile_height(depth[6], &error), 800u);
    EXPECT_EQ(vt_stream_profile_width(color[3], &error), 1280u);  // the recorded one too
    for (size_t n = 0; n < 4; n++) {
        vt_frame* set = vt_pipeline_wait_for_frames(pipe, 1000, &error);
        ASSERT_NE(set, nullptr) << message();
        vt_frame* c = vt_frame_set_color_frame(set, &error);
        vt_frame* d = vt_frame_set_depth_frame(set, &error);
        ASSERT_NE(c, nullptr);
        ASSERT_NE(d, nullptr);
        // The frames are the recording's pictures, at their own sizes.
        EXPECT_TRUE(data_of(c) == rec.color[n % 3]);
        EXPECT_EQ(vt_frame_width(c, &error), (uint32_t)Recording::kColorW);
        EXPECT_EQ(vt_frame_height(d, &error), (uint32_t)Recording::kDepthH);
        Bytes mm = data_of(d);
        ASSERT_EQ(mm.size(), rec.depth[n % 2].size() * 2);
        EXPECT_EQ(std::memcmp(mm.data(), rec.depth[n % 2].data(), mm.size()), 0);
        vt_delete_frame_set(set, &error);
        vt_delete_frame(c, &error);
        vt_delete_frame(d, &error);
    }
    vt_delete_pipeline(pipe, &error);
    ASSERT_EQ(error, nullptr) << message();

    // depth[5] is YUYV 640x480 at 30 fps: a format that could carry depth,
    // but not what was recorded.
    start(5, 3);
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(vt_error_function(error), "vt_pipeline_start_with_config");
    EXPECT_EQ(vt_error_exception_type(error), VT_EXCEPTION_INVALID_ARGUMENT);
    EXPECT_EQ(message(), "the recording '" + rec.folder +
                             "' holds depth as Y16 640x480 at 30 fps only, and the enabled "
                             "profile depth[5] is YUYV 640x480 at 30 fps");
    start(4, 4);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(message(), "the recording '" + rec.folder +
                             "' holds color as MJPG 1280x720 at 30 fps only, and the enabled "
                             "profile color[4] is MJPG 1920x1080 at 30 fps");
}

TEST_F(Replay, RelativeSourceIsTakenFromTheScenarioFilesFolder) {
    Recording rec(dir.path("rec"));
    use(scenario("rec"));
    vt_pipeline* pipe = start();
    ASSERT_EQ(error, nullptr) << message();
    vt_frame* set = vt_pipeline_wait_for_frames(pipe, 1000, &error);
    ASSERT_NE(set, nullptr);
    vt_frame* color = vt_frame_set_color_frame(set, &error);
    EXPECT_TRUE(data_of(color) == rec.color[0]);
    vt_delete_frame(color, &error);
    vt_delete_frame_set(set, &error);
    vt_delete_pipeline(pipe, &error);
    EXPECT_EQ(error, nullptr);
}

TEST_F(Replay, FormatThatCannotCarryTheRecordingFailsTheStart) {
    Recording rec(dir.path("rec"));
    use(scenario(rec.folder, "YUYV", "Y16"));
    start();
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(vt_error_function(error), "vt_pipeline_start_with_config");
    EXPECT_EQ(vt_error_exception_type(error), VT_EXCEPTION_INVALID_ARGUMENT);
    EXPECT_EQ(message(), "the recording '" + rec.folder +
                             "' plays colour as MJPG only, and the enabled profile color[0] is "
                             "YUYV");

    use(scenario(rec.folder, "MJPG", "Y8"));
    start();
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(vt_error_function(error), "vt_pipeline_start_with_config");
    EXPECT_NE(message().find("plays depth in a 16-bit format only"), std::string::npos);
    EXPECT_NE(message().find("depth[0] is Y8"), std::string::npos);
}

TEST_F(Replay, DepthFileThatBreaksWhilePlayingFailsTheWait) {
    Recording rec(dir.path("rec"));
    // The header is whole, the picture data is cut short.
    fs::resize_file(rec.depth_path(1), fs::file_size(rec.depth_path(1)) - 40);
    use(scenario(rec.folder, "MJPG", "Y16", true));
    vt_pipeline* pipe = start();
    ASSERT_EQ(error, nullptr) << message();
    int delivered = 0;
    for (int tries = 0; tries < 100 && error == nullptr; tries++) {
        vt_frame* set = vt_pipeline_wait_for_frames(pipe, 100, &error);
        if (set != nullptr) {
            delivered++;
            vt_delete_frame_set(set, &error);
        }
    }
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(vt_error_function(error), "vt_pipeline_wait_for_frames");
    EXPECT_EQ(vt_error_exception_type(error), VT_EXCEPTION_IO);
    EXPECT_NE(message().find("recording '" + rec.folder +
                             "': depth/1000.100.png: cannot be "
                             "decoded as PNG"),
              std::string::npos)
        << message();
    EXPECT_LE(delivered, 1);  // the first set only
    vt_frame* again = vt_pipeline_wait_for_frames(pipe, 100, &error);
    EXPECT_EQ(again, nullptr);
    EXPECT_NE(error, nullptr);
    vt_delete_pipeline(pipe, &error);
    EXPECT_EQ(error, nullptr);
}

TEST_F(Replay, TimesListTheSetsAndTheirPace) {
    Recording rec(dir.path("rec"));
    // Two sets, 300 ms apart, in lines that end with CR LF; the third colour
    // picture is not listed and does not play. No end line, and a bad line
    // and half a line after the sets: an interrupted recording, which plays
    // all the same and says so in the trace, and on standard error for the
    // whole line that it drops.
    std::ofstream(rec.folder + "/times.txt") << "0999.500 0\r\n1000.100 300000\r\nbad\r\n0999.9";
    sim::reset();  // the SDK's first start, so that the capture sees one
    testing::internal::CaptureStderr();
    use(scenario(rec.folder, "MJPG", "Y16", true));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "simulated SDK: recording '" + rec.folder +
                  "' was interrupted; it plays the 2 sets before line 3 of times.txt and drops "
                  "the 2 lines from there on\n");
    EXPECT_EQ(dir.trace().at(0), "# recording '" + rec.folder +
                                     "' was interrupted; it plays the 2 sets that times.txt lists, "
                                     "and not 2 lines after them");
    auto started = std::chrono::steady_clock::now();
    vt_pipeline* pipe = start();
    ASSERT_EQ(error, nullptr) << message();
    // The five sets take 1.2 s; a replay that is much slower fails.
    auto deadline = started + std::chrono::seconds(20);
    for (int n = 0; n < 5; n++) {
        SCOPED_TRACE("frame set " + std::to_string(n));
        vt_frame* set = nullptr;
        while (set == nullptr && error == nullptr && std::chrono::steady_clock::now() < deadline) {
            set = vt_pipeline_wait_for_frames(pipe, 100, &error);
        }
        ASSERT_NE(set, nullptr) << message();
        // Never before its time: the sets are 300 ms apart, and the loop
        // starts again one mean interval after its last set.
        EXPECT_GE(std::chrono::steady_clock::now() - started, n * std::chrono::milliseconds(300));
        vt_frame* color = vt_frame_set_color_frame(set, &error);
        vt_frame* depth = vt_frame_set_depth_frame(set, &error);
        ASSERT_NE(color, nullptr);
        ASSERT_NE(depth, nullptr);
        EXPECT_TRUE(data_of(color) == rec.color[n % 2 == 0 ? 0 : 2]);
        Bytes mm = data_of(depth);
        ASSERT_EQ(mm.size(), rec.depth[n % 2].size() * 2);
        EXPECT_EQ(std::memcmp(mm.data(), rec.depth[n % 2].data(), mm.size()), 0);
        vt_delete_frame_set(set, &error);
        vt_delete_frame(color, &error);
        vt_delete_frame(depth, &error);
        ASSERT_EQ(error, nullptr) << message();
    }
    vt_delete_pipeline(pipe, &error);
    EXPECT_EQ(error, nullptr);

    // Times that no camera made, all equal: they play at the profiles' 30 fps,
    // and the trace says so.
    std::ofstream(rec.folder + "/times.txt") << "0999.500 7\n1000.100 7\nend\n";
    use(scenario(rec.folder, "MJPG", "Y16", true));
    started = std::chrono::steady_clock::now();
    pipe = start();
    for (int n = 0; n < 7 && error == nullptr; n++) {
        vt_frame* set = nullptr;
        while (set == nullptr && error == nullptr)
            set = vt_pipeline_wait_for_frames(pipe, 100, &error);
        vt_delete_frame_set(set, &error);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - started, 6 * std::chrono::milliseconds(33));
    EXPECT_EQ(harness::count_lines(dir.trace(), "# recording '" + rec.folder +
                                                    "': 1 of the gaps in times.txt are shorter "
                                                    "than the profiles' rate allows; they play "
                                                    "as 33.3 ms"),
              1);
    vt_delete_pipeline(pipe, &error);
    EXPECT_EQ(error, nullptr) << message();
}

struct BadRecording {
    const char* name;
    std::function<std::string(const Recording&)> spoil;  // gives the source to name
    const char* problem;                                 // after "recording '<folder>': "
    bool when_played = false;  // a file of a later set: the wait for that set fails
};

void PrintTo(const BadRecording& b, std::ostream* os) {
    *os << b.name;
}

class ReplayBadRecording : public Replay, public ::testing::WithParamInterface<BadRecording> {};

TEST_P(ReplayBadRecording, CallsFailNamingTheFileAndTheProblem) {
    Recording rec(dir.path("rec"));
    std::string source = GetParam().spoil(rec);
    use(scenario(source));
    std::string expected = "recording '" + source + "': " + GetParam().problem;
    if (GetParam().when_played) {
        vt_pipeline* pipe = start();
        ASSERT_EQ(error, nullptr) << message();
        for (int n = 0; n < 3 && error == nullptr; n++) {
            vt_delete_frame_set(vt_pipeline_wait_for_frames(pipe, 1000, &error), nullptr);
        }
        ASSERT_NE(error, nullptr);
        EXPECT_STREQ(vt_error_function(error), "vt_pipeline_wait_for_frames");
        EXPECT_EQ(message().substr(0, expected.size()), expected);
        return;
    }
    EXPECT_EQ(vt_create_context(&error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(vt_error_function(error), "vt_create_context");
    EXPECT_EQ(vt_error_exception_type(error), VT_EXCEPTION_CONFIGURATION);
    EXPECT_EQ(message().substr(0, expected.size()), expected);
    EXPECT_EQ(vt_create_pipeline(&error), nullptr);
    EXPECT_STREQ(vt_error_function(error), "vt_create_pipeline");
}

std::string spoil_png(const Recording& rec, int type) {
    cv::Mat m(Recording::kDepthH, Recording::kDepthW, type, cv::Scalar::all(7));
    cv::imwrite(rec.depth_path(1), m);
    return rec.folder;
}

// A spoiler that puts this text in the recording's times.txt.
std::function<std::string(const Recording&)> times_txt(std::string text) {
    return [text](const Recording& rec) {
        std::ofstream(rec.folder + "/times.txt") << text;
        return rec.folder;
    };
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplayBadRecording,
    ::testing::Values(
        BadRecording{"MissingFolder", [](const Recording& r) { return r.folder + "/absent"; },
                     "cannot be opened: No such file or directory"},
        BadRecording{"FileForFolder", [](const Recording& r) { return r.color_path(0); },
                     "is not a folder"},
        BadRecording{"NoColorFolder",
                     [](const Recording& r) {
                         fs::remove_all(r.folder + "/color");
                         return r.folder;
                     },
                     "color/ cannot be read: No such file or directory"},
        BadRecording{"EmptyDepthFolder",
                     [](const Recording& r) {
                         fs::remove(r.depth_path(0));
                         fs::remove(r.depth_path(1));
                         std::ofstream(r.folder + "/depth/times.txt") << "0.5\n";
                         fs::create_directory(r.folder + "/depth/more.png");
                         return r.folder;
                     },
                     "depth/ holds no PNG (.png) files"},
        BadRecording{"UnreadableColorFile",
                     [](const Recording& r) {
                         fs::create_symlink(r.folder + "/gone.jpg", r.folder + "/color/0001.jpg");
                         return r.folder;
                     },
                     "color/0001.jpg: cannot be read: No such file or directory"},
        BadRecording{"FifoForDepthFile",
                     [](const Recording& r) {
                         mkfifo((r.folder + "/depth/0999.700.png").c_str(), 0600);
                         return r.folder;
                     },
                     "depth/0999.700.png: is not a regular file", true},
        BadRecording{"ColorFileNotJpeg",
                     [](const Recording& r) {
                         std::ofstream(r.color_path(1)) << "not a picture at all";
                         return r.folder;
                     },
                     "color/0999.900.jpeg: not a JPEG picture", true},
        BadRecording{"EmptyColorFile",
                     [](const Recording& r) {
                         std::ofstream(r.color_path(2), std::ios::trunc);
                         return r.folder;
                     },
                     "color/1000.100.jpg: not a JPEG picture", true},
        BadRecording{"DepthFileNotPng",
                     [](const Recording& r) {
                         write_bytes(r.depth_path(0), read_bytes(r.color_path(0)));
                         return r.folder;
                     },
                     "depth/0999.500.png: cannot be decoded as PNG: Not a PNG file"},
        BadRecording{"EightBitDepth", [](const Recording& r) { return spoil_png(r, CV_8UC1); },
                     "depth/1000.100.png: 8-bit grey PNG, but depth needs 16-bit grey", true},
        BadRecording{"ColourDepth", [](const Recording& r) { return spoil_png(r, CV_16UC3); },
                     "depth/1000.100.png: 16-bit RGB PNG, but depth needs 16-bit grey", true},
        BadRecording{"ColorSizesDiffer",
                     [](const Recording& r) {
                         write_bytes(r.color_path(2), jpeg_of(32, 48, 9));
                         return r.folder;
                     },
                     "color/1000.100.jpg: 32x48, but color/0999.500.jpg is 64x48", true},
        BadRecording{"TimesLineBadInACompleteRecording",
                     times_txt("0999.500 0\n1000.100 soon\nend\n"),
                     "times.txt: line 2: \"soon\" is not a whole number of microseconds"},
        BadRecording{"TimesGoBack", times_txt("0999.500 9\n1000.100 8\nend\n"),
                     "times.txt: line 2: the time 8 is earlier than the set before"},
        BadRecording{"TimesListNoSet", times_txt("0999.5"), "times.txt: lists no set"},
        BadRecording{"TimesListASetWithoutItsFiles", times_txt("0999.500 0\n0999.900 5\nend\n"),
                     "depth/0999.900.png: cannot be read: No such file or directory", true},
        BadRecording{"TimesAnHourApart", times_txt("0999.500 5\n1000.100 3600000006\nend\n"),
                     "times.txt: line 2: the time 3600000006 is more than an hour after the set "
                     "before"},
        BadRecording{"DepthSizesDiffer",
                     [](const Recording& r) {
                         cv::imwrite(r.depth_path(0), cv::Mat(24, 30, CV_16UC1, cv::Scalar(1)));
                         return r.folder;
                     },
                     "depth/1000.100.png: 32x24, but depth/0999.500.png is 30x24", true}),
    [](const ::testing::TestParamInfo<BadRecording>& info) { return info.param.name; });

TEST(DuoscopeReplay, ReportsABrokenRecordingAtItsFirstCall) {
    harness::Scratch dir;
    Recording rec(dir.path("rec"));
    for (size_t i = 0; i < rec.color_names.size(); i++) fs::remove(rec.color_path(i));
    std::string source = std::string(R"({"stream": {"source": ")") + rec.folder + R"("}})";
    harness::Result broken = harness::run(harness::bin("duoscope"), dir.sim_env(source));
    EXPECT_EQ(broken.status, 1);
    EXPECT_EQ(broken.out,
              "vt_error was raised when calling vt_create_pipeline():\n"
              "error message:    recording '" +
                  rec.folder +
                  "': color/ holds no JPEG (.jpg) files\n"
                  "error Type:    6\n");
}

}  // namespace
