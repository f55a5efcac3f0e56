// The preview window: frames of the simulated camera turned into images, the
// pictures that the X server really shows, and the keys that close it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "harness.h"
#include "sim_fixture.h"
#include "vantra_sim.h"
#include "window.h"
#include "window_test_peer.h"
#include "xscreen.h"

namespace {

using Clock = std::chrono::steady_clock;

cv::Vec3b grey(int v) {
    return cv::Vec3b(v, v, v);
}

// Frames made through the simulated SDK, released at the end of the test.
class Frames {
  public:
    ~Frames() {
        for (vt_frame* frame : made_) vt_delete_frame(frame, &error_);
    }
    vt_frame* make(vt_frame_type type, vt_format format, uint32_t width, uint32_t height,
                   const void* data, uint32_t size) {
        made_.push_back(sim::make_frame(type, format, width, height, data, size));
        return made_.back();
    }
    // A frame of 16-bit samples, the given ones repeated until width x height.
    vt_frame* samples(vt_frame_type type, vt_format format, uint32_t width, uint32_t height,
                      const std::vector<uint16_t>& values) {
        std::vector<uint16_t> data(size_t(width) * height);
        for (size_t i = 0; i < data.size(); i++) data[i] = values[i % values.size()];
        return make(type, format, width, height, data.data(), uint32_t(data.size() * 2));
    }
    // A 32 x 16 Y16 depth frame (1024 bytes) of one sample value.
    vt_frame* depth(uint16_t value) {
        return samples(VT_FRAME_DEPTH, VT_FORMAT_Y16, 32, 16, {value});
    }
    vt_frame* mjpeg(const std::vector<uchar>& bytes) {
        return make(VT_FRAME_COLOR, VT_FORMAT_MJPG, 0, 0, bytes.data(), uint32_t(bytes.size()));
    }
    void release(vt_frame* frame) {
        vt_delete_frame(frame, &error_);
        made_.erase(std::find(made_.begin(), made_.end(), frame));
    }

  private:
    std::vector<vt_frame*> made_;
    vt_error* error_ = nullptr;
};

std::vector<uchar> jpeg(const cv::Mat& picture) {
    std::vector<uchar> bytes;
    cv::imencode(".jpg", picture, bytes);
    return bytes;
}

// 1280 x 720, four quadrants of distinct colours.
cv::Mat quadrants() {
    cv::Mat picture(720, 1280, CV_8UC3, cv::Scalar(40, 180, 220));
    picture(cv::Rect(640, 0, 640, 360)).setTo(cv::Scalar(200, 60, 30));
    picture(cv::Rect(0, 360, 640, 360)).setTo(cv::Scalar(30, 200, 60));
    picture(cv::Rect(640, 360, 640, 360)).setTo(cv::Scalar(90, 90, 160));
    return picture;
}

bool near(cv::Vec3b a, cv::Vec3b b, int tolerance = 6) {
    for (int c = 0; c < 3; c++) {
        if (std::abs(a[c] - b[c]) > tolerance) return false;
    }
    return true;
}

class WindowTest : public SimTest {
  protected:
    void SetUp() override { use(""); }
    std::vector<cv::Mat> convert(std::vector<vt_frame*> list) {
        Window window("unused", 640, 480);
        return WindowTestPeer::processFrames(window, list);
    }

    Frames frames;
};

TEST_F(WindowTest, DepthAndInfraredSamplesBecomeGreyInThreeChannels) {
    const std::vector<uint16_t> samples{0, 4, 400, 1000, 1020, 65535};
    const int expected[] = {0, 1, 100, 250, 255, 255};
    std::vector<vt_frame*> list{
        frames.samples(VT_FRAME_DEPTH, VT_FORMAT_Y16, 60, 10, samples),
        frames.samples(VT_FRAME_DEPTH, VT_FORMAT_YUYV, 60, 10, samples),
        frames.samples(VT_FRAME_DEPTH, VT_FORMAT_YUY2, 60, 10, samples),
        frames.samples(VT_FRAME_IR, VT_FORMAT_YUYV, 60, 10, samples),
        frames.samples(VT_FRAME_IR, VT_FORMAT_Y16, 60, 10, samples),
    };
    std::vector<cv::Mat> mats = convert(list);
    ASSERT_EQ(mats.size(), list.size());
    for (const cv::Mat& mat : mats) {
        ASSERT_EQ(mat.type(), CV_8UC3);
        ASSERT_EQ(mat.size(), cv::Size(60, 10));
        for (int y = 0; y < 10; y++) {
            for (int x = 0; x < 60; x++) {
                ASSERT_EQ(mat.at<cv::Vec3b>(y, x), grey(expected[x % 6])) << x << "," << y;
            }
        }
    }
}

TEST_F(WindowTest, ColourAndDepthGiveImagesInFrameOrder) {
    std::vector<uchar> bytes = jpeg(quadrants());
    vt_frame* colour = frames.mjpeg(bytes);
    vt_frame* depth = frames.samples(VT_FRAME_DEPTH, VT_FORMAT_Y16, 640, 480, {800});
    std::vector<cv::Mat> mats = convert({colour, depth});
    ASSERT_EQ(mats.size(), 2u);
    EXPECT_EQ(mats[0].type(), CV_8UC3);
    EXPECT_EQ(mats[0].rows, 720);
    EXPECT_EQ(mats[0].cols, 1280);
    EXPECT_TRUE(near(mats[0].at<cv::Vec3b>(180, 320), cv::Vec3b(40, 180, 220)));
    EXPECT_TRUE(near(mats[0].at<cv::Vec3b>(180, 960), cv::Vec3b(200, 60, 30)));
    EXPECT_TRUE(near(mats[0].at<cv::Vec3b>(540, 320), cv::Vec3b(30, 200, 60)));
    EXPECT_EQ(mats[1].type(), CV_8UC3);
    EXPECT_EQ(mats[1].rows, 480);
    EXPECT_EQ(mats[1].cols, 640);
    EXPECT_EQ(mats[1].at<cv::Vec3b>(479, 639), grey(200));
}

TEST_F(WindowTest, NullFrameOrShortFrameEndsTheList) {
    std::vector<uchar> small = jpeg(cv::Mat(16, 16, CV_8UC3, cv::Scalar(0, 0, 255)));
    ASSERT_LT(small.size(), 1023u);
    std::vector<uchar> bytes = small;
    bytes.resize(1023);  // zeros after the end of the picture
    vt_frame* colour1023 = frames.mjpeg(bytes);
    bytes.resize(1024);
    vt_frame* colour1024 = frames.mjpeg(bytes);
    vt_frame* depth = frames.depth(400);
    vt_frame* short_depth = frames.samples(VT_FRAME_DEPTH, VT_FORMAT_Y16, 16, 16, {400});  // 512

    EXPECT_TRUE(convert({}).empty());
    EXPECT_TRUE(convert({nullptr, depth}).empty());
    EXPECT_EQ(convert({depth, nullptr, depth}).size(), 1u);
    EXPECT_TRUE(convert({colour1023, depth}).empty());
    EXPECT_EQ(convert({depth, short_depth, depth}).size(), 1u);

    std::vector<cv::Mat> mats = convert({colour1024, depth});
    ASSERT_EQ(mats.size(), 2u);
    EXPECT_EQ(mats[0].size(), cv::Size(16, 16));
    EXPECT_EQ(mats[1].size(), cv::Size(32, 16));
}

TEST_F(WindowTest, OtherKindsAreSkippedAndLaterFramesConverted) {
    std::vector<uchar> yuyv(640 * 480 * 2, 128);
    vt_frame* colour_yuyv =
        frames.make(VT_FRAME_COLOR, VT_FORMAT_YUYV, 640, 480, yuyv.data(), uint32_t(yuyv.size()));
    std::vector<cv::Mat> mats = convert({colour_yuyv, frames.depth(400)});
    ASSERT_EQ(mats.size(), 1u);
    EXPECT_EQ(mats[0].at<cv::Vec3b>(0, 0), grey(100));

    mats = convert({frames.samples(VT_FRAME_DEPTH, VT_FORMAT_Y8, 32, 32, {400}),
                    frames.samples(VT_FRAME_DEPTH, VT_FORMAT_Y12, 32, 32, {400}),
                    frames.samples(VT_FRAME_VIDEO, VT_FORMAT_Y16, 32, 32, {400}),
                    frames.samples(VT_FRAME_IR, VT_FORMAT_MJPG, 32, 32, {400}),
                    frames.mjpeg(jpeg(quadrants())), frames.depth(800)});
    ASSERT_EQ(mats.size(), 2u);
    EXPECT_EQ(mats[0].size(), cv::Size(1280, 720));
    EXPECT_EQ(mats[1].at<cv::Vec3b>(0, 0), grey(200));
}

TEST_F(WindowTest, UndecodableColourGivesAnEmptyImageInItsPlace) {
    std::vector<uchar> noise(4096);
    cv::randu(noise, 0, 256);
    noise[0] = 'x';  // no picture format starts with it
    std::vector<cv::Mat> mats = convert({frames.mjpeg(noise), frames.depth(400)});
    ASSERT_EQ(mats.size(), 2u);
    EXPECT_TRUE(mats[0].empty());
    EXPECT_EQ(mats[1].at<cv::Vec3b>(0, 0), grey(100));
}

// A few hundred bytes can claim a picture of 65500 x 65500, more pixels than
// OpenCV agrees to decode; it refuses by throwing rather than by returning an
// empty image. That picture is one that does not decode, not the end of the
// viewer.
TEST_F(WindowTest, ColourClaimingAnOversizedPictureGivesAnEmptyImage) {
    std::vector<uchar> bytes = jpeg(cv::Mat(16, 24, CV_8UC3, cv::Scalar(0, 0, 255)));
    const uchar frame_header[] = {0xff, 0xc0};
    auto sof = std::search(bytes.begin(), bytes.end(), frame_header, frame_header + 2);
    ASSERT_NE(sof, bytes.end());
    const uchar sides[] = {0xff, 0xdc, 0xff, 0xdc};  // height, width
    std::copy(sides, sides + 4, sof + 5);
    bytes.resize(1024);

    std::vector<cv::Mat> mats = convert({frames.mjpeg(bytes), frames.depth(400)});
    ASSERT_EQ(mats.size(), 2u);
    EXPECT_TRUE(mats[0].empty());
    EXPECT_EQ(mats[1].at<cv::Vec3b>(0, 0), grey(100));
}

// Frames whose data cannot hold what their header says: no image for them,
// no read past their bytes (AddressSanitizer watches), and the frames after
// them are still converted.
TEST_F(WindowTest, FramesTooShortForTheirViewGiveNoImage) {
    std::vector<uint16_t> data(1024, 400);  // 2048 bytes
    auto depth = [&](uint32_t width, uint32_t height, vt_frame_type type = VT_FRAME_DEPTH) {
        return frames.make(type, VT_FORMAT_Y16, width, height, data.data(), 2048);
    };
    std::vector<vt_frame*> unsafe{
        frames.make(VT_FRAME_COLOR, VT_FORMAT_MJPG, 640, 480, nullptr, 4096),
        frames.make(VT_FRAME_DEPTH, VT_FORMAT_Y16, 32, 32, nullptr, 2048),
        depth(640, 480),
        depth(33, 32, VT_FRAME_IR),  // 2112 bytes wanted
        depth(0, 32),
        depth(32, 0),
        depth(65536, 32768),    // 2^32 bytes wanted: 0 in 32-bit arithmetic
        depth(0x80000000u, 1),  // the same, and wider than an int
        depth(1, 0x80000001u),
    };
    std::vector<vt_frame*> list;
    for (vt_frame* frame : unsafe) {
        list.push_back(frame);
        list.push_back(frames.depth(400));
    }
    list.push_back(depth(32, 32));  // exactly long enough
    std::vector<cv::Mat> mats = convert(list);
    ASSERT_EQ(mats.size(), unsafe.size() + 1);
    for (const cv::Mat& mat : mats) EXPECT_EQ(mat.at<cv::Vec3b>(15, 31), grey(100));
    EXPECT_EQ(mats.back().size(), cv::Size(32, 32));
}

TEST_F(WindowTest, FailingAccessorsNeitherEndTheProcessNorBreakTheList) {
    // The colour frame's second size read and the first depth frame's width
    // read fail and give 0.
    use(R"({"faults": [{"call": "vt_frame_data_size", "nth": 2},
                       {"call": "vt_frame_width", "nth": 2}]})");
    std::vector<cv::Mat> mats =
        convert({frames.mjpeg(jpeg(quadrants())), frames.depth(400), frames.depth(800)});
    ASSERT_EQ(mats.size(), 1u);
    EXPECT_EQ(mats[0].at<cv::Vec3b>(0, 0), grey(200));
}

TEST_F(WindowTest, ReadsSixValuesOfEveryFrameInOrder) {
    std::vector<vt_frame*> list{frames.mjpeg(jpeg(quadrants())), frames.depth(400),
                                frames.samples(VT_FRAME_DEPTH, VT_FORMAT_Y8, 32, 32, {1}),
                                frames.samples(VT_FRAME_DEPTH, VT_FORMAT_Y16, 8, 8, {1}),
                                frames.depth(400)};
    size_t before = dir.trace().size();
    convert(list);
    std::vector<std::string> trace = dir.trace();
    trace.erase(trace.begin(), trace.begin() + before);
    const std::vector<std::string> one_frame{
        "vt_frame_data_size(frame)", "vt_frame_data(frame)",   "vt_frame_data_size(frame)",
        "vt_frame_get_type(frame)",  "vt_frame_format(frame)", "vt_frame_width(frame)",
        "vt_frame_height(frame)"};
    std::vector<std::string> expected;
    for (int i = 0; i < 3; i++) expected.insert(expected.end(), one_frame.begin(), one_frame.end());
    expected.push_back("vt_frame_data_size(frame)");  // the short frame ends the list
    EXPECT_EQ(trace, expected);
}

TEST_F(WindowTest, ImagesStayValidAfterTheFramesAreReleased) {
    vt_frame* colour = frames.mjpeg(jpeg(quadrants()));
    vt_frame* depth = frames.samples(VT_FRAME_IR, VT_FORMAT_YUYV, 64, 32, {0, 400, 65535});
    std::vector<cv::Mat> mats = convert({colour, depth});
    ASSERT_EQ(mats.size(), 2u);
    std::vector<cv::Mat> copies{mats[0].clone(), mats[1].clone()};

    vt_error* error = nullptr;
    for (vt_frame* frame : {colour, depth}) {
        std::memset(vt_frame_data(frame, &error), 0x55, vt_frame_data_size(frame, &error));
        frames.release(frame);
    }
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(cv::norm(mats[i], copies[i], cv::NORM_INF), 0) << i;
    }
}

// ---- What the window shows -------------------------------------------------

// The largest patch of one exact colour in a capture (text in the toolbar
// has a few pixels of many colours), and whether it fills its bounding box.
struct Area {
    cv::Rect rect;
    int pixels = 0;
    bool solid() const { return pixels > 0 && pixels == rect.area(); }
};

Area find(const cv::Mat& capture, cv::Vec3b colour) {
    if (capture.empty()) return Area();
    cv::Mat mask, labels, stats, centroids;
    cv::inRange(capture, cv::Scalar(colour), cv::Scalar(colour), mask);
    int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 4);
    Area largest;
    for (int i = 1; i < count; i++) {  // 0 is the background
        if (stats.at<int>(i, cv::CC_STAT_AREA) <= largest.pixels) continue;
        largest.pixels = stats.at<int>(i, cv::CC_STAT_AREA);
        largest.rect =
            cv::Rect(stats.at<int>(i, cv::CC_STAT_LEFT), stats.at<int>(i, cv::CC_STAT_TOP),
                     stats.at<int>(i, cv::CC_STAT_WIDTH), stats.at<int>(i, cv::CC_STAT_HEIGHT));
    }
    return largest;
}

class WindowOnScreen : public WindowTest {
  protected:
    // These windows are usually on a bare Xvfb with no desktop session: tell
    // the toolkit's D-Bus library so before its first window, or it forks a
    // helper to look for a session bus (see harness::Child). On a desktop
    // the tests need no bus either.
    static void SetUpTestSuite() { setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1); }
    void SetUp() override {
        if (!xscreen::have_display()) {
            // ./dev test provides a display and says so: there, a missing
            // one is a fault of the run, not a reason to skip.
            const char* required = std::getenv("VANTRA_TEST_DISPLAY_REQUIRED");
            if (required != nullptr && *required != '\0') {
                FAIL() << "DISPLAY is not set, and VANTRA_TEST_DISPLAY_REQUIRED is";
            }
            GTEST_SKIP() << "DISPLAY is not set";
        }
        WindowTest::SetUp();
    }
    void TearDown() override {
        if (xscreen::have_display()) cv::destroyAllWindows();
        WindowTest::TearDown();
    }
    std::string name() const {
        return std::string("window_test ") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    // Keeps OpenCV's event loop going until the window titled title shows
    // what ready looks for, for at most 20 s; gives the last capture.
    cv::Mat shown(const std::function<bool(const cv::Mat&)>& ready, std::string title = "") {
        if (title.empty()) title = name();
        cv::Mat capture;
        Clock::time_point end = Clock::now() + std::chrono::seconds(20);
        do {
            cv::waitKey(10);
            capture = xscreen::capture(xscreen::find_window(title));
        } while (!(!capture.empty() && ready(capture)) && Clock::now() < end);
        return capture;
    }
    cv::Mat shown_solid(cv::Vec3b colour, cv::Size size) {
        return shown([&](const cv::Mat& c) {
            Area area = find(c, colour);
            return area.solid() && area.rect.size() == size;
        });
    }
    // Keeps OpenCV's event loop going until no window is titled title.
    bool gone(const std::string& title) {
        Clock::time_point end = Clock::now() + std::chrono::seconds(20);
        while (xscreen::find_window(title) != 0 && Clock::now() < end) cv::waitKey(10);
        return xscreen::find_window(title) == 0;
    }
    // Keeps OpenCV's event loop going until a window shown now is on screen
    // with its picture, and then gone again: the toolkit draws in order, so
    // by then it has drawn whatever it was asked to before.
    void settle() {
        std::string marker = name() + " settle";
        const cv::Vec3b colour(1, 2, 3);
        const cv::Size size(160, 120);
        cv::namedWindow(marker, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
        cv::imshow(marker, cv::Mat(size, CV_8UC3, cv::Scalar(colour)));
        cv::Mat capture =
            shown([&](const cv::Mat& c) { return find(c, colour).rect.size() == size; }, marker);
        EXPECT_EQ(find(capture, colour).rect.size(), size) << "nothing drawn";
        cv::destroyWindow(marker);
        EXPECT_TRUE(gone(marker));
    }
    void send_key(const char* key) {
        unsigned long id = xscreen::find_window(name());
        ASSERT_NE(id, 0u);
        std::string command =
            "xdotool windowfocus --sync " + std::to_string(id) + " key " + key + " 2>/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
};

TEST_F(WindowOnScreen, OneRowGivesEqualCellsSideBySide) {
    Window win(name(), 1280, 960);
    vt_frame* a = frames.depth(200);  // grey 50
    vt_frame* b = frames.depth(400);  // grey 100
    vt_frame* c = frames.depth(600);  // grey 150

    win.render({a}, RENDER_ONE_ROW);
    cv::Mat capture = shown_solid(grey(50), cv::Size(1280, 960));
    EXPECT_EQ(find(capture, grey(50)).rect.size(), cv::Size(1280, 960));

    win.render({a, b}, RENDER_ONE_ROW);
    capture = shown_solid(grey(100), cv::Size(640, 480));
    cv::Rect first = find(capture, grey(50)).rect;
    Area second = find(capture, grey(100));
    EXPECT_EQ(first.size(), cv::Size(640, 480));
    EXPECT_TRUE(second.solid());
    EXPECT_EQ(second.rect, cv::Rect(first.x + 640, first.y, 640, 480));

    win.render({a, b, c}, RENDER_ONE_ROW);
    capture = shown_solid(grey(150), cv::Size(426, 320));
    first = find(capture, grey(50)).rect;
    EXPECT_EQ(first.size(), cv::Size(426, 320));
    EXPECT_EQ(find(capture, grey(100)).rect, cv::Rect(first.x + 426, first.y, 426, 320));
    Area third = find(capture, grey(150));
    EXPECT_TRUE(third.solid());
    EXPECT_EQ(third.rect, cv::Rect(first.x + 852, first.y, 426, 320));
}

TEST_F(WindowOnScreen, ColourLeftOfDepthEachStretchedToItsCell) {
    Window win(name(), 1280, 960);
    vt_frame* colour = frames.mjpeg(jpeg(cv::Mat(720, 1280, CV_8UC3, cv::Scalar(40, 180, 220))));
    vt_frame* depth = frames.samples(VT_FRAME_DEPTH, VT_FORMAT_Y16, 640, 480, {800});
    win.render({colour, depth}, RENDER_ONE_ROW);
    cv::Mat capture = shown_solid(grey(200), cv::Size(640, 480));
    cv::Rect right = find(capture, grey(200)).rect;
    ASSERT_EQ(right.size(), cv::Size(640, 480));
    // The 16:9 picture fills the whole 4:3 cell on the left, no bands.
    cv::Mat left = capture(cv::Rect(right.x - 640, right.y, 640, 480));
    cv::Mat mask;
    cv::inRange(left, cv::Scalar(34, 174, 214), cv::Scalar(46, 186, 226), mask);
    EXPECT_EQ(cv::countNonZero(mask), 640 * 480);
}

TEST_F(WindowOnScreen, ShowsTheGreyLevelsOfTheSamples) {
    Window win(name(), 600, 100);
    const int expected[] = {0, 1, 100, 250, 255, 255};
    std::vector<uint16_t> row;
    for (uint16_t v : {0, 4, 400, 1000, 1020, 65535}) row.insert(row.end(), 10, v);
    win.render({frames.samples(VT_FRAME_DEPTH, VT_FORMAT_Y16, 60, 10, row)}, RENDER_SINGLE);
    cv::Mat capture = shown([](const cv::Mat& c) { return find(c, grey(100)).pixels > 1000; });
    // Each band of 10 samples becomes 100 columns; the third is grey 100.
    cv::Rect third = find(capture, grey(100)).rect;
    ASSERT_GT(third.area(), 0);
    int centre = third.x + third.width / 2;
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(capture.at<cv::Vec3b>(third.y + 50, centre + (i - 2) * 100), grey(expected[i]))
            << "band " << i;
    }
}

TEST_F(WindowOnScreen, OtherArrangements) {
    Window win(name(), 600, 480);
    vt_frame* a = frames.depth(200);  // grey 50
    vt_frame* b = frames.depth(400);  // grey 100
    vt_frame* c = frames.depth(600);  // grey 150

    // Single: the first image over the whole area, the others left out.
    win.render({a, b}, RENDER_SINGLE);
    cv::Mat capture = shown_solid(grey(50), cv::Size(600, 480));
    EXPECT_EQ(find(capture, grey(50)).rect.size(), cv::Size(600, 480));
    EXPECT_TRUE(find(capture, grey(50)).solid());

    // One column: cells of 200 x 160 from top to bottom.
    win.render({a, b, c}, RENDER_ONE_COLOUMN);
    capture = shown_solid(grey(150), cv::Size(200, 160));
    cv::Rect first = find(capture, grey(50)).rect;
    EXPECT_EQ(first.size(), cv::Size(200, 160));
    EXPECT_EQ(find(capture, grey(100)).rect, cv::Rect(first.x, first.y + 160, 200, 160));
    EXPECT_EQ(find(capture, grey(150)).rect, cv::Rect(first.x, first.y + 320, 200, 160));

    // Grid: two images side by side in one row of 300 x 480 cells.
    win.render({a, b}, RENDER_GRID);
    capture = shown_solid(grey(100), cv::Size(300, 480));
    first = find(capture, grey(50)).rect;
    EXPECT_EQ(first.size(), cv::Size(300, 480));
    EXPECT_EQ(find(capture, grey(100)).rect, cv::Rect(first.x + 300, first.y, 300, 480));

    // Grid: three images in two rows of 300 x 240 cells, the fourth cell black.
    win.render({a, b, c}, RENDER_GRID);
    capture = shown_solid(grey(150), cv::Size(300, 240));
    first = find(capture, grey(50)).rect;
    EXPECT_EQ(first.size(), cv::Size(300, 240));
    EXPECT_EQ(find(capture, grey(100)).rect, cv::Rect(first.x + 300, first.y, 300, 240));
    EXPECT_EQ(find(capture, grey(150)).rect, cv::Rect(first.x, first.y + 240, 300, 240));
    Area black = find(capture(cv::Rect(first.x + 300, first.y + 240, 300, 240)), grey(0));
    EXPECT_EQ(black.pixels, 300 * 240);

    // Overlay: the images blended with equal weights over the whole area.
    win.render({a, c}, RENDER_OVERLAY);
    capture = shown_solid(grey(100), cv::Size(600, 480));
    EXPECT_EQ(find(capture, grey(100)).rect.size(), cv::Size(600, 480));
    win.render({a, b, frames.depth(900)}, RENDER_OVERLAY);  // (50 + 100 + 225) / 3
    capture = shown_solid(grey(125), cv::Size(600, 480));
    EXPECT_EQ(find(capture, grey(125)).rect.size(), cv::Size(600, 480));
}

TEST_F(WindowOnScreen, FailedPictureIsReportedAndTheNextOneShows) {
    Window win(name(), 640, 480);
    win.render({frames.depth(200)}, RENDER_ONE_ROW);
    shown_solid(grey(50), cv::Size(640, 480));

    std::vector<uchar> noise(4096, 'x');
    vt_frame* undecodable = frames.mjpeg(noise);
    for (RenderType type :
         {RENDER_SINGLE, RENDER_ONE_ROW, RENDER_ONE_COLOUMN, RENDER_GRID, RENDER_OVERLAY}) {
        ::testing::internal::CaptureStderr();
        win.render({undecodable, frames.depth(400)}, type);
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("Assertion failed"), std::string::npos) << type << ": " << err;
        EXPECT_TRUE(!err.empty() && err.back() == '\n') << err;
    }
    cv::Mat one(32, 32, CV_8UC1, cv::Scalar(7));
    cv::Mat three(32, 32, CV_8UC3, cv::Scalar(7, 7, 7));
    for (RenderType type : {RENDER_ONE_ROW, RENDER_ONE_COLOUMN, RENDER_GRID, RENDER_OVERLAY}) {
        ::testing::internal::CaptureStderr();
        WindowTestPeer::renderMats(win, {three, one}, type);
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("Assertion failed"), std::string::npos) << type << ": " << err;
    }
    // None of them replaced the picture.
    settle();
    cv::Mat capture = shown_solid(grey(50), cv::Size(640, 480));
    EXPECT_EQ(find(capture, grey(50)).rect.size(), cv::Size(640, 480));
    EXPECT_TRUE(find(capture, grey(50)).solid());

    win.render({frames.depth(400), frames.depth(600)}, RENDER_ONE_ROW);
    capture = shown_solid(grey(150), cv::Size(320, 240));
    cv::Rect first = find(capture, grey(100)).rect;
    EXPECT_EQ(first.size(), cv::Size(320, 240));
    EXPECT_EQ(find(capture, grey(150)).rect, cv::Rect(first.x + 320, first.y, 320, 240));
}

TEST_F(WindowOnScreen, PlainPictureUntilTheFirstOneAndTheWindowOutlivesItsObject) {
    Window* win = new Window(name(), 320, 240);
    EXPECT_TRUE(*win);
    EXPECT_EQ(win->getKey(), -1);
    EXPECT_EQ(xscreen::find_window(name()), 0u);

    // Calls that show nothing: the first puts up a plain black picture of the
    // window's size, the others leave it.
    cv::waitKey(10);  // whatever the toolkit says when it starts is not ours
    ::testing::internal::CaptureStderr();
    win->render({}, RENDER_ONE_ROW);
    win->render({nullptr, frames.depth(200)}, RENDER_GRID);
    win->render({frames.depth(200)}, RenderType(7));  // not an arrangement
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    settle();
    Area plain = find(shown_solid(grey(0), cv::Size(320, 240)), grey(0));
    EXPECT_TRUE(plain.solid());
    EXPECT_EQ(plain.rect.size(), cv::Size(320, 240));

    win->render({frames.depth(200)}, RENDER_ONE_ROW);
    shown_solid(grey(50), cv::Size(320, 240));
    delete win;
    settle();
    cv::Mat capture = shown_solid(grey(50), cv::Size(320, 240));
    EXPECT_EQ(find(capture, grey(50)).rect.size(), cv::Size(320, 240));
}

TEST_F(WindowOnScreen, OtherKeysAreOnlyStoredAndTheCloseButtonCloses) {
    Window win(name(), 320, 240);
    win.render({frames.depth(200)}, RENDER_ONE_ROW);
    shown_solid(grey(50), cv::Size(320, 240));

    send_key("a");
    vt_frame* next = frames.depth(400);
    size_t before = 0;
    for (int calls = 0; win.getKey() != 'a' && calls < 2000; calls++) {
        before = dir.trace().size();
        win.render({next}, RENDER_ONE_ROW);
    }
    ASSERT_EQ(win.getKey(), 97);
    EXPECT_TRUE(win);
    EXPECT_GT(dir.trace().size(), before);  // that call converted its frame
    cv::Mat capture = shown_solid(grey(100), cv::Size(320, 240));
    EXPECT_EQ(find(capture, grey(100)).rect.size(), cv::Size(320, 240));

    win.render({next}, RENDER_ONE_ROW);
    EXPECT_EQ(win.getKey(), -1);
    EXPECT_TRUE(win);

    // The window manager's close button closes it for good, as ESC does.
    ASSERT_TRUE(xscreen::close_window(xscreen::find_window(name())));
    for (int calls = 0; win && calls < 2000; calls++) win.render({next}, RENDER_ONE_ROW);
    EXPECT_FALSE(win);
    EXPECT_EQ(win.getKey(), -1);
    EXPECT_TRUE(gone(name()));
    win.render({next}, RENDER_ONE_ROW);
    EXPECT_FALSE(win);
    EXPECT_EQ(xscreen::find_window(name()), 0u);
}

TEST_F(WindowOnScreen, EscClosesForGood) {
    Window win(name(), 320, 240);
    vt_frame* frame = frames.depth(200);
    win.render({frame}, RENDER_ONE_ROW);
    shown_solid(grey(50), cv::Size(320, 240));

    // Another thread waits for the window to close, as the viewer's main does.
    std::atomic<bool> seen_closed{false};
    std::thread watcher([&] {
        Clock::time_point end = Clock::now() + std::chrono::seconds(60);
        while (static_cast<bool>(win) && Clock::now() < end) std::this_thread::yield();
        seen_closed = !static_cast<bool>(win);
    });

    send_key("Escape");
    size_t before = 0;
    for (int calls = 0; win && calls < 2000; calls++) {
        before = dir.trace().size();
        win.render({frame}, RENDER_ONE_ROW);
    }
    watcher.join();
    ASSERT_FALSE(win);
    EXPECT_TRUE(seen_closed);
    EXPECT_EQ(win.getKey(), 27);
    EXPECT_EQ(dir.trace().size(), before);  // the closing call converted nothing
    EXPECT_TRUE(gone(name()));

    // Closed: each call still polls, destroys every OpenCV window, shows nothing.
    before = dir.trace().size();
    win.render({frame}, RENDER_ONE_ROW);
    EXPECT_EQ(win.getKey(), -1);
    std::string other = name() + " other";
    cv::imshow(other, cv::Mat(40, 40, CV_8UC3, cv::Scalar(1, 2, 3)));
    shown([](const cv::Mat&) { return true; }, other);
    ASSERT_NE(xscreen::find_window(other), 0u);
    win.render({frame}, RENDER_ONE_ROW);
    EXPECT_TRUE(gone(other));
    for (int i = 0; i < 5; i++) win.render({frame}, RENDER_ONE_ROW);
    EXPECT_EQ(xscreen::find_window(name()), 0u);
    EXPECT_EQ(dir.trace().size(), before);
    EXPECT_FALSE(win);
}

}  // namespace
