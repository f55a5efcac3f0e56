// Arbitrary lists of frames through the preview window's conversion
// (Window::processFrames) and composition (Window::renderMats), the frames
// made by the simulated SDK. Besides crashes and sanitizer reports, a finding
// is a broken promise of the conversion: an image for a frame that should
// give none or none for one that should, a depth image whose pixels are not
// the frame's samples scaled, a colour image unlike the one its bytes decode
// to, an image that changes or reads freed memory once the frames are
// released; or a composition that fails on good images or succeeds on bad.
//
// An exception out of processFrames is a finding too: nothing above it in
// the viewer catches one, so it would end the viewer.
//
// Input, read front to back (bytes past the end read as 0):
//   byte     arrangement (low 3 bits, 5..7 name none), window size (bits 3..5)
//   byte     number of frames, modulo 5
//   per frame:
//     byte   flags: 0x0f all set = null handle; 0x10 data pointer null;
//            0x20 start the bytes with a generated JPEG picture
//     byte   type: 0..3 from the low 2 bits; 0xf0 and up: a 32-bit type follows
//     byte   format: 0xf0 and up: a 32-bit format follows; else one of
//            YUYV, YUY2, MJPG, Y16, Y8, Y12
//     byte   sides: 0xf0 and up, 32-bit width and height follow; 0xc0 and up,
//            16-bit ones; else width and height bytes follow
//     byte   size: 0xf0 and up, a 32-bit size follows; 0x80 and up, a 16-bit
//            one; else the size is width x height x 2 plus a signed delta
//            byte that follows (sizes of frames with bytes stop at 4 MiB)
//     byte   chunk length (0xff: a 16-bit length follows), then the chunk
//     with 0x20: byte picture index, 16-bit offset where the chunk is laid
//            over the picture
//   The frame's bytes: the picture (if any), then the chunk repeated up to
//   the size. A null data pointer reports the size without bytes.
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "vantra_sim.h"
#include "window.h"
#include "window_test_peer.h"

namespace {

// A frame's buffer is at most this long; with it a depth frame that converts
// has at most 2 Mpixels.
const uint32_t kMaxFrameBytes = 4u << 20;
// Decoded pictures are limited to this many pixels (see LLVMFuzzerInitialize).
const char kMaxPicturePixels[] = "4194304";

const vt_format kFormats[] = {VT_FORMAT_YUYV, VT_FORMAT_YUY2, VT_FORMAT_MJPG,
                              VT_FORMAT_Y16,  VT_FORMAT_Y8,   VT_FORMAT_Y12};
// Duoscope's window, smaller ones that keep the fuzzer fast, and some too
// narrow for three or four cells.
const cv::Size kWindowSizes[] = {{1280, 960}, {64, 48}, {32, 24}, {1280, 960},
                                 {7, 5},      {3, 2},   {1, 1},   {16, 48}};

std::vector<std::vector<uchar>> pictures;  // small JPEG files to lay bytes over

// Where the fuzzer's own messages go: standard error as it was at the start,
// which stays open when libFuzzer silences the target's (-close_fd_mask=2,
// set in frame.options: the JPEG library warns there about every corrupt
// picture).
FILE* messages = stderr;

void require(bool ok, const char* what) {
    if (!ok) {
        fprintf(messages, "frame_fuzz: %s\n", what);
        fflush(messages);
        abort();
    }
}

// An exception that leaves processFrames would end the viewer: say which.
[[noreturn]] void report_uncaught() {
    try {
        if (std::current_exception()) throw;
        fprintf(messages, "frame_fuzz: std::terminate without an exception\n");
    } catch (const std::exception& e) {
        fprintf(messages, "frame_fuzz: uncaught exception: %s\n", e.what());
    } catch (...) {
        fprintf(messages, "frame_fuzz: uncaught exception of another type\n");
    }
    fflush(messages);
    abort();
}

class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // Little-endian; the low part is read first.
    uint16_t u16() {
        uint16_t low = byte();
        return uint16_t(low | byte() << 8);
    }
    uint32_t u32() {
        uint32_t low = u16();
        return low | uint32_t(u16()) << 16;
    }
    std::vector<uchar> bytes(size_t n) {
        n = std::min(n, size_ - pos_);
        std::vector<uchar> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

struct FrameSpec {
    bool null_handle = false;
    vt_frame_type type = VT_FRAME_VIDEO;
    vt_format format = VT_FORMAT_YUYV;
    uint32_t width = 0;
    uint32_t height = 0;
    bool null_data = false;
    uint32_t size = 0;         // reported; the buffer's length when there is one
    std::vector<uchar> bytes;  // empty with null_data
};

FrameSpec read_frame(Reader& in) {
    FrameSpec f;
    uint8_t flags = in.byte();
    f.null_handle = (flags & 0x0f) == 0x0f;
    f.null_data = flags & 0x10;

    uint8_t b = in.byte();
    f.type = b >= 0xf0 ? vt_frame_type(in.u32()) : vt_frame_type(b & 3);
    b = in.byte();
    f.format = b >= 0xf0 ? vt_format(in.u32()) : kFormats[b % 6];
    b = in.byte();
    if (b >= 0xf0) {
        f.width = in.u32();
        f.height = in.u32();
    } else if (b >= 0xc0) {
        f.width = in.u16();
        f.height = in.u16();
    } else {
        f.width = in.byte();
        f.height = in.byte();
    }
    b = in.byte();
    uint64_t size;
    if (b >= 0xf0) {
        size = in.u32();
    } else if (b >= 0x80) {
        size = in.u16();
    } else {
        uint64_t pixels = uint64_t(f.width) * f.height;  // below 2^64
        int8_t delta = int8_t(in.byte());
        if (pixels >= UINT32_MAX) {
            size = UINT32_MAX;
        } else {
            int64_t s = int64_t(pixels) * 2 + delta;
            size = s < 0 ? 0 : std::min<uint64_t>(s, UINT32_MAX);
        }
    }
    if (!f.null_data) size = std::min<uint64_t>(size, kMaxFrameBytes);
    f.size = uint32_t(size);

    size_t chunk_length = in.byte();
    if (chunk_length == 0xff) chunk_length = in.u16();
    std::vector<uchar> chunk = in.bytes(chunk_length);
    std::vector<uchar> start;
    if (flags & 0x20) {
        start = pictures[in.byte() % pictures.size()];
        size_t offset = in.u16();
        if (offset < start.size()) {
            size_t n = std::min(chunk.size(), start.size() - offset);
            std::copy(chunk.begin(), chunk.begin() + n, start.begin() + offset);
        }
    }
    if (f.null_data) return f;
    f.bytes.resize(f.size);
    size_t n = std::min(start.size(), f.bytes.size());
    std::copy(start.begin(), start.begin() + n, f.bytes.begin());
    if (chunk.empty()) return f;  // zeros after the picture
    // The chunk, then the filled part copied after itself until the end.
    size_t filled = std::min(chunk.size(), f.bytes.size() - n);
    std::copy(chunk.begin(), chunk.begin() + filled, f.bytes.begin() + n);
    while (n + filled < f.bytes.size()) {
        size_t more = std::min(filled, f.bytes.size() - n - filled);
        memcpy(f.bytes.data() + n + filled, f.bytes.data() + n, more);
        filled += more;
    }
    return f;
}

// The window's depth rule (common/window.cpp), without Y12 as it is; not the
// recording's, which takes Y12 too.
bool sixteen_bit(vt_format format) {
    return format == VT_FORMAT_YUYV || format == VT_FORMAT_YUY2 || format == VT_FORMAT_Y16;
}

// What the conversion must make of a frame, worked out from its bytes alone.
enum class Expect { kStop, kNone, kColour, kGrey };

Expect expect_of(const FrameSpec& f) {
    if (f.null_handle || f.size < 1024) return Expect::kStop;
    if (f.null_data) return Expect::kNone;
    if (f.type == VT_FRAME_COLOR && f.format == VT_FORMAT_MJPG) return Expect::kColour;
    if ((f.type == VT_FRAME_DEPTH || f.type == VT_FRAME_IR) && sixteen_bit(f.format) &&
        f.width > 0 && f.height > 0 && uint64_t(f.width) * f.height * 2 <= f.size) {
        return Expect::kGrey;
    }
    return Expect::kNone;
}

cv::Mat decode(const std::vector<uchar>& bytes) {
    try {
        return cv::imdecode(bytes, cv::IMREAD_COLOR);
    } catch (const std::exception&) {
        return cv::Mat();  // a picture that OpenCV refuses does not decode
    }
}

// The loops over pixels are left out of the coverage that guides the fuzzer
// (they would only slow it) but stay under AddressSanitizer.
#define NO_COVERAGE __attribute__((no_sanitize("coverage")))

NO_COVERAGE void check_grey(const cv::Mat& mat, const FrameSpec& f) {
    require(mat.type() == CV_8UC3, "depth image not 8-bit three-channel");
    require(mat.rows == int(f.height) && mat.cols == int(f.width), "depth image of another size");
    const uchar* samples = f.bytes.data();
    for (int y = 0; y < mat.rows; y++) {
        const cv::Vec3b* row = mat.ptr<cv::Vec3b>(y);
        for (int x = 0; x < mat.cols; x++) {
            uint16_t v;
            memcpy(&v, samples + (size_t(y) * mat.cols + x) * 2, 2);
            // v / 4 to the nearest integer, a half to the even one, at most 255
            int grey = int(std::min(255.0, std::nearbyint(v * 0.25)));
            require(row[x] == cv::Vec3b(grey, grey, grey), "depth pixel is not the sample scaled");
        }
    }
}

void check_colour(const cv::Mat& mat, const FrameSpec& f) {
    cv::Mat expected = decode(f.bytes);
    require(mat.empty() == expected.empty(), "colour image where the bytes do not decode, or none");
    if (mat.empty()) return;
    require(mat.type() == CV_8UC3, "colour image not 8-bit three-channel");
    require(mat.size() == expected.size() && cv::norm(mat, expected, cv::NORM_INF) == 0,
            "colour image differs from the decoded bytes");
}

NO_COVERAGE uint64_t checksum(const std::vector<cv::Mat>& mats) {
    uint64_t sum = 1469598103934665603ull;
    for (const cv::Mat& mat : mats) {
        for (int y = 0; y < mat.rows; y++) {
            const uchar* row = mat.ptr(y);
            for (size_t i = 0; i < mat.cols * mat.elemSize(); i++) {
                sum = (sum ^ row[i]) * 1099511628211ull;
            }
        }
    }
    return sum;
}

// Whether renderMats must fail (and write to standard error) for this list,
// or must show it: it fails when an image it places is empty or when the
// cells of its arrangement have no area.
bool composition_fails(const std::vector<cv::Mat>& mats, RenderType type, cv::Size window) {
    int n = int(mats.size());
    bool any_empty = false;
    for (const cv::Mat& mat : mats) any_empty |= mat.empty();
    switch (type) {
        case RENDER_SINGLE:
            return mats[0].empty() || window.area() == 0;
        case RENDER_ONE_ROW:
        case RENDER_ONE_COLOUMN:
            return any_empty || window.width / n == 0 || window.height / n == 0;
        case RENDER_GRID: {
            int cols = int(std::ceil(std::sqrt(double(n))));
            int rows = (n + cols - 1) / cols;
            return any_empty || window.width / cols == 0 || window.height / rows == 0;
        }
        case RENDER_OVERLAY:
            return any_empty || window.area() == 0;
        default:
            return false;
    }
}

// Runs renderMats with its standard error text caught; returns the text.
std::string compose(Window& window, const std::vector<cv::Mat>& mats, RenderType type) {
    std::ostringstream text;
    std::streambuf* stderr_buffer = std::cerr.rdbuf(text.rdbuf());
    try {
        WindowTestPeer::renderMats(window, mats, type);
    } catch (...) {
        std::cerr.rdbuf(stderr_buffer);
        throw;
    }
    std::cerr.rdbuf(stderr_buffer);
    return text.str();
}

std::vector<uchar> jpeg(const cv::Mat& picture, std::vector<int> params) {
    std::vector<uchar> bytes;
    require(cv::imencode(".jpg", picture, bytes, params), "cannot encode a JPEG picture");
    return bytes;
}

}  // namespace

// Memory that the GUI toolkit behind OpenCV's windows keeps until the process
// ends.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so.3\nleak:libfontconfig.so.1\n";
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // OpenCV reads its limit on decoded picture size once, as it is loaded, so
    // the limit is set for a fresh start of the process. A JPEG header may
    // claim up to 4 Gpixels; past this limit OpenCV refuses the picture by
    // the same path as past its default (1 Gpixel), which would otherwise
    // cost the fuzzer gigabytes. The composition shows its pictures on Qt's
    // off-screen platform unless another is asked for, so no X server is
    // needed.
    if (getenv("OPENCV_IO_MAX_IMAGE_PIXELS") == nullptr) {
        setenv("OPENCV_IO_MAX_IMAGE_PIXELS", kMaxPicturePixels, 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        execv("/proc/self/exe", *argv);
        perror("frame_fuzz: execv /proc/self/exe");
        abort();
    }
    (void)argc;
    int fd = dup(2);
    if (fd >= 0) messages = fdopen(fd, "w");
    if (messages == nullptr) messages = stderr;
    std::set_terminate(report_uncaught);

    cv::Mat picture(48, 64, CV_8UC3);
    for (int y = 0; y < picture.rows; y++) {
        for (int x = 0; x < picture.cols; x++) {
            picture.at<cv::Vec3b>(y, x) = cv::Vec3b(x * 4, y * 5, (x ^ y) * 8);
        }
    }
    cv::Mat grey;
    cv::cvtColor(picture, grey, cv::COLOR_BGR2GRAY);
    cv::Mat tiny = picture(cv::Rect(0, 0, 16, 16)).clone();
    pictures = {jpeg(tiny, {cv::IMWRITE_JPEG_QUALITY, 90}),
                jpeg(picture, {cv::IMWRITE_JPEG_PROGRESSIVE, 1}),
                jpeg(grey(cv::Rect(0, 0, 24, 24)), {}),
                jpeg(picture, {cv::IMWRITE_JPEG_RST_INTERVAL, 2, cv::IMWRITE_JPEG_OPTIMIZE, 1})};

    // The first picture shown makes the window and starts the toolkit: once
    // here, and it must work, or every later composition would fail.
    Window window("frame_fuzz", 64, 48);
    require(compose(window, {picture}, RENDER_ONE_ROW).empty(),
            "cannot show a picture: no display for OpenCV's windows?");
    cv::pollKey();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    uint8_t layout = in.byte();
    auto type = RenderType(layout & 7);
    cv::Size window_size = kWindowSizes[(layout >> 3) & 7];
    size_t count = in.byte() % 5;

    std::vector<FrameSpec> specs;
    std::vector<vt_frame*> frames;
    for (size_t i = 0; i < count; i++) {
        specs.push_back(read_frame(in));
        const FrameSpec& f = specs.back();
        frames.push_back(f.null_handle
                             ? nullptr
                             : sim::make_frame(f.type, f.format, f.width, f.height,
                                               f.null_data ? nullptr : f.bytes.data(), f.size));
    }

    Window window("frame_fuzz", window_size.width, window_size.height);
    std::vector<cv::Mat> mats = WindowTestPeer::processFrames(window, frames);

    size_t next = 0;
    for (const FrameSpec& f : specs) {
        Expect expect = expect_of(f);
        if (expect == Expect::kStop) break;
        if (expect == Expect::kNone) continue;
        require(next < mats.size(), "a frame that converts gave no image");
        if (expect == Expect::kGrey) check_grey(mats[next], f);
        if (expect == Expect::kColour) check_colour(mats[next], f);
        next++;
    }
    require(next == mats.size(), "more images than converted frames");

    // The images own their pixels: every one of them is read again once the
    // frames' buffers are gone.
    uint64_t before = checksum(mats);
    vt_error* error = nullptr;
    for (vt_frame* frame : frames) {
        if (frame != nullptr) vt_delete_frame(frame, &error);
    }
    require(error == nullptr, "releasing a frame failed");
    require(checksum(mats) == before, "images changed when the frames were released");

    std::string text = compose(window, mats, type);
    if (mats.empty()) {
        require(text.empty(), "an empty list wrote to standard error");
    } else if (composition_fails(mats, type, window_size)) {
        require(!text.empty() && text.back() == '\n', "a failed composition was not reported");
    } else {
        require(text.empty(), "the composition of good images failed");
    }
    return 0;
}
