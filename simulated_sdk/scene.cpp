#include "scene.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <stdexcept>

namespace sim {

namespace {

constexpr double kTwoPi = 6.283185307179586;

// Seven-segment digits: bits a..g of the segments that are lit.
const uint8_t kSegments[10] = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f, 0x6f};

void fill(std::vector<uint8_t>& rgb, uint32_t width, uint32_t height, int x0, int y0, int w, int h,
          uint8_t r, uint8_t g, uint8_t b) {
    for (int y = std::max(y0, 0); y < std::min(y0 + h, (int)height); y++) {
        for (int x = std::max(x0, 0); x < std::min(x0 + w, (int)width); x++) {
            uint8_t* p = &rgb[((size_t)y * width + x) * 3];
            p[0] = r;
            p[1] = g;
            p[2] = b;
        }
    }
}

void draw_number(std::vector<uint8_t>& rgb, uint32_t width, uint32_t height, unsigned number) {
    int s = std::max(2, (int)height / 60);  // stroke width
    int dw = 4 * s, dh = 8 * s;             // digit size
    int x0 = 3 * s, y0 = 3 * s;
    std::string digits = std::to_string(number);
    if (digits.size() < 2) digits.insert(0, "0");
    fill(rgb, width, height, x0 - s, y0 - s, (int)digits.size() * (dw + 2 * s) + s, dh + 3 * s, 16,
         16, 16);
    for (char c : digits) {
        uint8_t seg = kSegments[c - '0'];
        const int rects[7][4] = {{0, 0, dw, s},
                                 {dw - s, 0, s, dh / 2},
                                 {dw - s, dh / 2, s, dh / 2},
                                 {0, dh - s, dw, s},
                                 {0, dh / 2, s, dh / 2},
                                 {0, 0, s, dh / 2},
                                 {0, dh / 2 - s / 2, dw, s}};
        for (int i = 0; i < 7; i++) {
            if (seg & (1 << i)) {
                fill(rgb, width, height, x0 + rects[i][0], y0 + rects[i][1], rects[i][2],
                     rects[i][3], 255, 255, 255);
            }
        }
        x0 += dw + 2 * s;
    }
}

std::vector<uint8_t> color_scene(uint32_t width, uint32_t height, size_t n) {
    std::vector<uint8_t> rgb((size_t)width * height * 3);
    double t = (double)n / SceneSource::kLoopLength;
    int shift = (int)(t * 256);
    for (uint32_t y = 0; y < height; y++) {
        for (uint32_t x = 0; x < width; x++) {
            uint8_t* p = &rgb[((size_t)y * width + x) * 3];
            p[0] = (uint8_t)(40 + (x * 160 / width + shift) % 160);
            p[1] = (uint8_t)(60 + y * 120 / height);
            p[2] = (uint8_t)(200 - x * 120 / width);
        }
    }
    double cx = width / 2.0 + width / 3.0 * std::cos(kTwoPi * t);
    double cy = height / 2.0 + height / 4.0 * std::sin(2 * kTwoPi * t);
    double r = height / 8.0;
    for (int y = (int)(cy - r); y <= (int)(cy + r); y++) {
        for (int x = (int)(cx - r); x <= (int)(cx + r); x++) {
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r) {
                fill(rgb, width, height, x, y, 1, 1, 250, 140, 20);
            }
        }
    }
    draw_number(rgb, width, height, (unsigned)n);
    return rgb;
}

std::vector<uint16_t> depth_scene(uint32_t width, uint32_t height, size_t n) {
    std::vector<uint16_t> mm((size_t)width * height);
    double t = (double)n / SceneSource::kLoopLength;
    double cx = width / 2.0 + width / 3.0 * std::cos(kTwoPi * t);
    double cy = height / 2.0;
    double r = height / 5.0;
    for (uint32_t y = 0; y < height; y++) {
        for (uint32_t x = 0; x < width; x++) {
            double d = 1000.0 - 300.0 * y / height - 100.0 * x / width;
            double dx = x - cx, dy = y - cy;
            if (dx * dx + dy * dy < r * r)
                d = 420.0 - 120.0 * std::sqrt(1 - (dx * dx + dy * dy) / (r * r));
            bool hole = x < 4 || (x * 7 + y * 13) % 997 == 0;
            mm[(size_t)y * width + x] = hole ? 0 : (uint16_t)d;
        }
    }
    return mm;
}

Bytes grey16(const std::vector<uint16_t>& v) {
    Bytes out(v.size() * 2);
    std::memcpy(out.data(), v.data(), out.size());
    return out;
}

// The picture in one format: MJPG is encoded, the 16-bit formats carry the
// grey or depth value, Y8 a quarter of it.
Bytes in_format(vt_format format, const std::vector<uint8_t>& rgb,
                const std::vector<uint16_t>& grey, uint32_t width, uint32_t height,
                const JpegStyle& style) {
    switch (format) {
        case VT_FORMAT_MJPG: {
            if (!rgb.empty()) return encode_jpeg(rgb.data(), width, height, style);
            std::vector<uint8_t> shown(grey.size() * 3);
            for (size_t i = 0; i < grey.size(); i++) {
                shown[3 * i] = shown[3 * i + 1] = shown[3 * i + 2] =
                    (uint8_t)std::min(255, grey[i] / 4);
            }
            return encode_jpeg(shown.data(), width, height, style);
        }
        case VT_FORMAT_YUYV:
        case VT_FORMAT_YUY2:
            if (!rgb.empty()) {
                // 4:2:2, a pair of pixels to four bytes Y0 U Y1 V.
                Bytes out((size_t)width * height * 2);
                for (size_t i = 0; i + 1 < (size_t)width * height; i += 2) {
                    const uint8_t* p = &rgb[i * 3];
                    auto luma = [](const uint8_t* q) {
                        return (uint8_t)(((66 * q[0] + 129 * q[1] + 25 * q[2] + 128) >> 8) + 16);
                    };
                    out[i * 2] = luma(p);
                    out[i * 2 + 1] =
                        (uint8_t)(((-38 * p[0] - 74 * p[1] + 112 * p[2] + 128) >> 8) + 128);
                    out[i * 2 + 2] = luma(p + 3);
                    out[i * 2 + 3] =
                        (uint8_t)(((112 * p[0] - 94 * p[1] - 18 * p[2] + 128) >> 8) + 128);
                }
                return out;
            }
            return grey16(grey);
        case VT_FORMAT_Y8: {
            Bytes out((size_t)width * height);
            for (size_t i = 0; i < out.size(); i++) {
                out[i] = rgb.empty() ? (uint8_t)std::min(255, grey[i] / 4) : rgb[i * 3 + 1];
            }
            return out;
        }
        default: {
            if (!rgb.empty()) {
                std::vector<uint16_t> g(rgb.size() / 3);
                for (size_t i = 0; i < g.size(); i++) g[i] = (uint16_t)(rgb[i * 3 + 1] * 4);
                return grey16(g);
            }
            return grey16(grey);
        }
    }
}

// A JPEG file as a USB camera sends it: the JFIF segment becomes an AVI1 one,
// the Huffman tables are left out when the style says so (the encoder uses
// the standard ones, which a decoder assumes when a frame has none), and zero
// bytes follow the end-of-image marker.
Bytes camera_style(const unsigned char* jpeg, size_t size, const JpegStyle& style) {
    static const uint8_t kAvi1[] = {0xff, 0xe0, 0x00, 0x10, 'A', 'V', 'I', '1', 0,
                                    0,    0,    0,    0,    0,   0,   0,   0,   0};
    Bytes out(jpeg, jpeg + 2);  // SOI
    size_t at = 2;
    // Segments up to the start of scan each carry their length after the marker.
    while (at + 4 <= size && jpeg[at] == 0xff && jpeg[at + 1] != 0xda) {
        size_t end = at + 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
        if (end > size) break;
        if (jpeg[at + 1] == 0xe0) {
            out.insert(out.end(), std::begin(kAvi1), std::end(kAvi1));
        } else if (jpeg[at + 1] != 0xc4 || style.huffman_tables) {
            out.insert(out.end(), jpeg + at, jpeg + end);
        }
        at = end;
    }
    out.insert(out.end(), jpeg + at, jpeg + size);
    out.resize(out.size() + style.padding, 0);
    return out;
}

}  // namespace

Bytes encode_jpeg(const uint8_t* rgb, uint32_t width, uint32_t height, const JpegStyle& style) {
    tjhandle tj = tjInitCompress();
    if (tj == nullptr) throw std::runtime_error("cannot start the JPEG encoder");
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    int subsampling = style.subsampling == 420   ? TJSAMP_420
                      : style.subsampling == 444 ? TJSAMP_444
                                                 : TJSAMP_422;
    int rc = tjCompress2(tj, rgb, (int)width, 0, (int)height, TJPF_RGB, &jpeg, &size, subsampling,
                         style.quality, TJFLAG_FASTDCT);
    std::string why = rc == 0 ? "" : tjGetErrorStr2(tj);
    Bytes out;
    if (rc == 0) out = camera_style(jpeg, size, style);
    tjFree(jpeg);
    tjDestroy(tj);
    if (rc != 0) throw std::runtime_error("JPEG encoding failed: " + why);
    return out;
}

SceneSource::SceneSource(vt_sensor_type sensor, const Profile& profile, const JpegStyle& style)
    : sensor_(sensor), profile_(profile), style_(style), loop_(kLoopLength) {}

std::shared_ptr<const Bytes> SceneSource::frame(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    index %= kLoopLength;
    auto& slot = loop_[index];
    if (!slot) {
        uint32_t w = profile_.width, h = profile_.height;
        if (sensor_ == VT_SENSOR_COLOR) {
            slot = std::make_shared<Bytes>(
                in_format(profile_.format, color_scene(w, h, index), {}, w, h, style_));
        } else {
            slot = std::make_shared<Bytes>(
                in_format(profile_.format, {}, depth_scene(w, h, index), w, h, style_));
        }
    }
    return slot;
}

}  // namespace sim
