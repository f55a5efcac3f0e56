#include "scene.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace sim {

// The fixed part of the scene as one sensor sees it: everything but the ball.
struct SceneLayer {
    std::vector<float> z;          // mm along the axis
    std::vector<uint8_t> surface;  // Surface
    std::vector<uint8_t> rgb;      // colour: the lit picture
    std::vector<uint8_t>
        dim;  // colour: what a pixel keeps of its light in the ball's shadow, of 255
    std::vector<uint8_t> hole;  // depth: no data, with the ball out of the way
};

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

// The scene, in millimetres, in the camera's frame: x to the right, y down,
// z forward along the optical axis, the camera at the origin. Both sensors sit
// there and see the same field of view, 60 degrees across and 46 degrees up
// and down, whatever their resolution.
constexpr double kTanX = 0.57735026918962573;  // tan 30 degrees
constexpr double kTanY = 0.42447481620960476;  // tan 23 degrees
constexpr double kFloorY = 200;                // the camera is 200 mm above the floor
constexpr double kWallZ = 1000;                // the back wall, square to the axis
constexpr double kFarZ = 3000;                 // what the window in the wall looks out at
constexpr double kNear = 200, kFar = 1500;     // the depth camera's range
constexpr double kEmitterX = 40;               // the depth camera's emitter, right of its sensor
constexpr double kNoiseAt1m = 2;               // noise sigma in mm at 1 m, growing as distance^2

struct Area {  // a rectangle of the wall, x0..x1 by y0..y1
    double x0, x1, y0, y1;
    bool has(double x, double y) const { return x >= x0 && x < x1 && y >= y0 && y < y1; }
};
constexpr Area kWindow{-420, -200, -380, -200};  // an opening to the far view
constexpr Area kPanel{-100, 120, -260, -120};    // a dark glossy screen: no depth
struct Aabb {
    double x0, x1, y0, y1, z0, z1;
};
constexpr Aabb kBox{120, 320, 60, 200, 750, 900};                            // on the floor
constexpr double kPostX = -280, kPostZ = 800, kPostR = 30, kPostTop = -700;  // a pole
constexpr double kBallR = 80, kBallY = kFloorY - kBallR, kBallZ = 550, kBallSwing = 230;

// std::floor without a call into the maths library, for the pixel loops.
double floor_of(double v) {
    double t = (double)(int64_t)v;
    return t > v ? t - 1 : t;
}

enum Surface : uint8_t { kFarView, kWall, kPanelSurface, kFloor, kBoxSurface, kPost, kBall };

struct Vec {
    double x, y, z;
};
Vec operator+(Vec a, Vec b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
Vec operator-(Vec a, Vec b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
Vec operator*(Vec a, double k) {
    return {a.x * k, a.y * k, a.z * k};
}
double dot(Vec a, Vec b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec unit(Vec a) {
    return a * (1 / std::sqrt(dot(a, a)));
}

const Vec kToLight = unit({-0.5, -1, -0.6});  // the light: above, left and behind the camera
const Vec kEmitter{kEmitterX, 0, 0};
// Halfway between the light and the camera, for the ball's highlight.
const Vec kHalfway = unit(kToLight + Vec{0, 0, -1});

// Where the ball is in frame n of the loop: it rolls across and back.
Vec ball_centre(size_t n, bool motion) {
    double x = motion ? kBallSwing * std::sin(kTwoPi * (double)n / SceneSource::kLoopLength) : 0;
    return {x, kBallY, kBallZ};
}

// The first t in (t0, t1) at which o + t d meets the object, or -1.
double hit_sphere(Vec c, Vec o, Vec d, double t0, double t1) {
    Vec oc = o - c;
    double a = dot(d, d), half_b = dot(oc, d),
           disc = half_b * half_b - a * (dot(oc, oc) - kBallR * kBallR);
    if (disc < 0) return -1;
    double t = (-half_b - std::sqrt(disc)) / a;
    return t > t0 && t < t1 ? t : -1;
}

double hit_box(Vec o, Vec d, double t0, double t1) {
    const double from[3] = {o.x, o.y, o.z}, dir[3] = {d.x, d.y, d.z};
    const double lo[3] = {kBox.x0, kBox.y0, kBox.z0}, hi[3] = {kBox.x1, kBox.y1, kBox.z1};
    double enter = -1e300, leave = 1e300;
    for (int i = 0; i < 3; i++) {
        if (dir[i] == 0) {
            if (from[i] < lo[i] || from[i] > hi[i]) return -1;
            continue;
        }
        double a = (lo[i] - from[i]) / dir[i], b = (hi[i] - from[i]) / dir[i];
        enter = std::max(enter, std::min(a, b));
        leave = std::min(leave, std::max(a, b));
    }
    return enter <= leave && enter > t0 && enter < t1 ? enter : -1;
}

double hit_post(Vec o, Vec d, double t0, double t1) {
    double ox = o.x - kPostX, oz = o.z - kPostZ, a = d.x * d.x + d.z * d.z;
    if (a == 0) return -1;
    double half_b = ox * d.x + oz * d.z,
           disc = half_b * half_b - a * (ox * ox + oz * oz - kPostR * kPostR);
    if (disc < 0) return -1;
    double t = (-half_b - std::sqrt(disc)) / a, y = o.y + t * d.y;
    return t > t0 && t < t1 && y >= kPostTop && y <= kFloorY ? t : -1;
}

// The corners of a box around each object.
std::vector<Vec> corners(double x0, double x1, double y0, double y1, double z0, double z1) {
    std::vector<Vec> v;
    for (double x : {x0, x1}) {
        for (double y : {y0, y1}) {
            for (double z : {z0, z1}) v.push_back({x, y, z});
        }
    }
    return v;
}
std::vector<Vec> box_corners() {
    return corners(kBox.x0, kBox.x1, kBox.y0, kBox.y1, kBox.z0, kBox.z1);
}
std::vector<Vec> post_corners() {
    return corners(kPostX - kPostR, kPostX + kPostR, kPostTop, kFloorY, kPostZ - kPostR,
                   kPostZ + kPostR);
}
std::vector<Vec> ball_corners(Vec c) {
    return corners(c.x - kBallR, c.x + kBallR, c.y - kBallR, c.y + kBallR, c.z - kBallR,
                   c.z + kBallR);
}

// Where the light casts the corners' object's shadow on the floor (or the
// wall): the corners and their projections along the light onto that plane.
std::vector<Vec> light_shadow(std::vector<Vec> v, bool on_floor) {
    size_t n = v.size();
    for (size_t i = 0; i < n; i++) {
        double s = on_floor ? (v[i].y - kFloorY) / kToLight.y : (v[i].z - kWallZ) / kToLight.z;
        v.push_back(v[i] - kToLight * s);
    }
    return v;
}

// Where the corners' object keeps the emitter's light off what is behind it:
// a point behind corner c on the line from the emitter is seen between c and
// c - emitter, at the same height.
std::vector<Vec> emitter_shadow(std::vector<Vec> v) {
    size_t n = v.size();
    for (size_t i = 0; i < n; i++) v.push_back(v[i] - kEmitter);
    return v;
}

// A rectangle of pixels, x0 <= x < x1 and y0 <= y < y1.
struct Pixels {
    int x0, y0, x1, y1;
};

// The pixels of one sensor: pixel (x, y) looks along (ray_x[x], ray_y[y], 1).
struct View {
    uint32_t w, h;
    std::vector<double> ray_x, ray_y;
    View(uint32_t width, uint32_t height) : w(width), h(height), ray_x(w), ray_y(h) {
        for (uint32_t x = 0; x < w; x++) ray_x[x] = ((2 * x + 1) / (double)w - 1) * kTanX;
        for (uint32_t y = 0; y < h; y++) ray_y[y] = ((2 * y + 1) / (double)h - 1) * kTanY;
    }
    Vec ray(int x, int y) const { return {ray_x[x], ray_y[y], 1}; }
    // The pixels that show points in front of the camera, with a margin.
    Pixels cover(const std::vector<Vec>& points) const {
        double u0 = 1e300, u1 = -1e300, v0 = 1e300, v1 = -1e300;
        for (const Vec& p : points) {
            u0 = std::min(u0, p.x / p.z), u1 = std::max(u1, p.x / p.z);
            v0 = std::min(v0, p.y / p.z), v1 = std::max(v1, p.y / p.z);
        }
        auto at = [](double t, double tan, uint32_t n) {
            return std::clamp(t / tan + 1, -1.0, 3.0) * n / 2;
        };
        return {std::max(0, (int)std::floor(at(u0, kTanX, w)) - 1),
                std::max(0, (int)std::floor(at(v0, kTanY, h)) - 1),
                std::min((int)w, (int)std::ceil(at(u1, kTanX, w)) + 1),
                std::min((int)h, (int)std::ceil(at(v1, kTanY, h)) + 1)};
    }
};

uint32_t mix(int64_t a, int64_t b) {
    uint64_t h = (uint64_t)a * 0x9E3779B97F4A7C15ull ^ ((uint64_t)b + 0x632BE59BD9B4E019ull);
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return (uint32_t)(h >> 32);
}

struct Rgb {
    double r, g, b;
};
Rgb varied(Rgb c, uint32_t hash, int spread) {
    double v = (double)((uint64_t)hash * (2 * spread + 1) >> 32) - spread;
    return {c.r + v, c.g + v * 0.7, c.b + v * 0.5};
}

// The last brick or tile that albedo() coloured, for the next pixel, which
// most often lies on it too.
struct Cell {
    int surface = -1;
    int64_t a = 0, b = 0;
    Rgb colour{};
};

// The colour of a surface at a point, before light.
Rgb albedo(Surface s, Vec p, Cell& last) {
    switch (s) {
        case kFarView: {  // sky over green hills, far away
            double horizon = -700 + 60 * std::sin(p.x / 250);
            if (p.y < horizon) return {130 - (horizon - p.y) / 12, 180 - (horizon - p.y) / 20, 235};
            return varied({80, 132, 64}, mix((int64_t)(p.x / 40), (int64_t)(p.y / 40)), 10);
        }
        case kWall: {  // bricks of 240 x 80 mm, a white frame round the window
            Area frame{kWindow.x0 - 20, kWindow.x1 + 20, kWindow.y0 - 20, kWindow.y1 + 20};
            if (frame.has(p.x, p.y)) return {232, 232, 226};
            double up = kFloorY - p.y;
            int64_t row = (int64_t)floor_of(up * (1.0 / 80));
            double along = p.x + (row % 2 != 0 ? 120 : 0);
            int64_t col = (int64_t)floor_of(along * (1.0 / 240));
            if (along - col * 240.0 < 10 || up - row * 80.0 < 10) return {200, 196, 186};
            if (last.surface != s || last.a != row || last.b != col)
                last = {s, row, col, varied({172, 86, 62}, mix(row, col), 16)};
            return last.colour;
        }
        case kPanelSurface: {  // a bezel, and a black screen with a sheen across it
            if (p.x < kPanel.x0 + 12 || p.x >= kPanel.x1 - 12 || p.y < kPanel.y0 + 12 ||
                p.y >= kPanel.y1 - 12)
                return {52, 52, 58};
            double band =
                std::max(0.0, 1 - std::fabs(p.x - kPanel.x0 + 0.8 * (p.y - kPanel.y0) - 120) / 45);
            return {16 + 70 * band * band, 18 + 70 * band * band, 26 + 74 * band * band};
        }
        case kFloor: {  // wooden tiles of 150 mm
            int64_t i = (int64_t)floor_of(p.x * (1.0 / 150)),
                    j = (int64_t)floor_of(p.z * (1.0 / 150));
            if (p.x - i * 150.0 < 3 || p.z - j * 150.0 < 3) return {120, 108, 96};
            if (last.surface != s || last.a != i || last.b != j) {
                Rgb base = (i + j) % 2 != 0 ? Rgb{206, 172, 128} : Rgb{160, 118, 82};
                last = {s, i, j, varied(base, mix(i, j), 10)};
            }
            return last.colour;
        }
        case kBoxSurface: {  // painted green, a lighter band and a label
            if (std::fabs(p.x - 220) < 18 && (p.y < kBox.y0 + 0.5 || p.y < 110))
                return {128, 196, 150};
            if (p.z < kBox.z0 + 0.5 && p.x > 145 && p.x < 195 && p.y > 125 && p.y < 175)
                return {236, 236, 228};
            return {60, 146, 92};
        }
        case kPost: {  // blue and white stripes of 100 mm
            return (int64_t)floor_of((kFloorY - p.y) / 100) % 2 != 0 ? Rgb{232, 232, 228}
                                                                     : Rgb{36, 84, 190};
        }
        default:
            return {0, 0, 0};
    }
}

Vec normal(Surface s, Vec p) {
    switch (s) {
        case kFloor:
            return {0, -1, 0};
        case kPost:
            return {(p.x - kPostX) / kPostR, 0, (p.z - kPostZ) / kPostR};
        case kBoxSurface: {  // the face the point lies on
            const double gaps[6] = {p.x - kBox.x0, kBox.x1 - p.x, p.y - kBox.y0,
                                    kBox.y1 - p.y, p.z - kBox.z0, kBox.z1 - p.z};
            const Vec normals[6] = {{-1, 0, 0}, {1, 0, 0},  {0, -1, 0},
                                    {0, 1, 0},  {0, 0, -1}, {0, 0, 1}};
            int face = 0;
            for (int i = 1; i < 6; i++) {
                if (std::fabs(gaps[i]) < std::fabs(gaps[face])) face = i;
            }
            return normals[face];
        }
        default:
            return {0, 0, -1};
    }
}

constexpr double kAmbient = 0.42, kDiffuse = 0.58;

uint8_t byte(double v) {
    return (uint8_t)std::clamp(v + 0.5, 0.0, 255.0);
}

bool inside(const Pixels& r, int x, int y) {
    return x >= r.x0 && x < r.x1 && y >= r.y0 && y < r.y1;
}

// Every step-th row from row first on of the fixed part of the scene, for
// colour (lit) or for depth (with holes).
void make_rows(const View& view, bool color, SceneLayer* layer, int first, int step) {
    Pixels box = view.cover(box_corners()), post = view.cover(post_corners());
    for (int y = first; y < (int)view.h; y += step) {
        double b = view.ray_y[y];
        bool floor = b > 0 && kFloorY / b < kWallZ;
        for (int x = 0; x < (int)view.w; x++) {
            size_t i = (size_t)y * view.w + x;
            double a = view.ray_x[x], z = floor ? kFloorY / b : kWallZ;
            Surface s = floor                       ? kFloor
                        : kWindow.has(a * z, b * z) ? kFarView
                        : kPanel.has(a * z, b * z)  ? kPanelSurface
                                                    : kWall;
            if (s == kFarView) z = kFarZ;
            Vec d{a, b, 1};
            double t;
            if (inside(box, x, y) && (t = hit_box({0, 0, 0}, d, 0, z)) > 0) z = t, s = kBoxSurface;
            if (inside(post, x, y) && (t = hit_post({0, 0, 0}, d, 0, z)) > 0) z = t, s = kPost;
            layer->z[i] = (float)z;
            layer->surface[i] = s;
        }
    }
    if (color) {
        // The box and the post cast their shadows on the floor and the wall.
        Pixels floor_shadow[2] = {view.cover(light_shadow(box_corners(), true)),
                                  view.cover(light_shadow(post_corners(), true))};
        Pixels wall_shadow[2] = {view.cover(light_shadow(box_corners(), false)),
                                 view.cover(light_shadow(post_corners(), false))};
        // The floor and the wall face the light alike everywhere.
        const double floor_facing = std::max(0.0, dot(normal(kFloor, {}), kToLight));
        const double wall_facing = std::max(0.0, dot(normal(kWall, {}), kToLight));
        Cell last;
        for (int y = first; y < (int)view.h; y += step) {
            for (int x = 0; x < (int)view.w; x++) {
                size_t i = (size_t)y * view.w + x;
                Surface s = (Surface)layer->surface[i];
                Vec p = view.ray(x, y) * layer->z[i];
                Rgb c = albedo(s, p, last);
                double light = 1, dim = 1;
                if (s != kFarView) {
                    double facing = s == kFloor ? floor_facing
                                    : s == kWall || s == kPanelSurface
                                        ? wall_facing
                                        : std::max(0.0, dot(normal(s, p), kToLight));
                    const Pixels* shadow = s == kFloor                        ? floor_shadow
                                           : s == kWall || s == kPanelSurface ? wall_shadow
                                                                              : nullptr;
                    bool lit = facing > 0 &&
                               !(shadow && inside(shadow[0], x, y) &&
                                 hit_box(p, kToLight, 1e-6, 1e300) > 0) &&
                               !(shadow && inside(shadow[1], x, y) &&
                                 hit_post(p, kToLight, 1e-6, 1e300) > 0);
                    light = kAmbient + (lit ? kDiffuse * facing : 0);
                    dim = kAmbient / light;
                }
                layer->rgb[3 * i] = byte(c.r * light);
                layer->rgb[3 * i + 1] = byte(c.g * light);
                layer->rgb[3 * i + 2] = byte(c.b * light);
                layer->dim[i] = byte(dim * 255);
            }
        }
    } else {
        // No data: out of range, on the dark screen, or where the emitter's
        // light does not reach because the box or the post is in its way.
        Pixels box_shadow = view.cover(emitter_shadow(box_corners()));
        Pixels post_shadow = view.cover(emitter_shadow(post_corners()));
        for (int y = first; y < (int)view.h; y += step) {
            for (int x = 0; x < (int)view.w; x++) {
                size_t i = (size_t)y * view.w + x;
                Surface s = (Surface)layer->surface[i];
                double z = layer->z[i];
                Vec p = view.ray(x, y) * z;
                layer->hole[i] = z < kNear || z > kFar || s == kPanelSurface ||
                                 (s != kBoxSurface && inside(box_shadow, x, y) &&
                                  hit_box(p, kEmitter - p, 1e-9, 1) > 0) ||
                                 (s != kPost && inside(post_shadow, x, y) &&
                                  hit_post(p, kEmitter - p, 1e-9, 1) > 0);
            }
        }
    }
}

// The fixed part of the scene, its even and its odd rows made at once.
std::shared_ptr<const SceneLayer> make_layer(const View& view, bool color) {
    auto layer = std::make_shared<SceneLayer>();
    size_t n = (size_t)view.w * view.h;
    layer->z.resize(n);
    layer->surface.resize(n);
    (color ? layer->dim : layer->hole).resize(n);
    if (color) layer->rgb.resize(n * 3);
    std::thread odd(make_rows, std::cref(view), color, layer.get(), 1, 2);
    make_rows(view, color, layer.get(), 0, 2);
    odd.join();
    if (!color) std::vector<uint8_t>().swap(layer->surface);  // the depth frames do without
    return layer;
}

// What make_layer keeps for a view of width x height.
size_t layer_bytes(uint32_t width, uint32_t height, bool color) {
    return (size_t)width * height * (color ? 4 + 1 + 3 + 1 : 4 + 1);
}

// A picture of view.w x view.h pixels of the given channels at width x
// height, each pixel the nearest one of the view; the picture itself when
// the sizes are equal.
template <typename T>
std::vector<T> enlarge(std::vector<T>& pixels, int channels, const View& view, uint32_t width,
                       uint32_t height) {
    if (view.w == width && view.h == height) return std::move(pixels);
    std::vector<uint32_t> from_x(width);
    for (uint32_t x = 0; x < width; x++) from_x[x] = (uint32_t)((uint64_t)x * view.w / width);
    std::vector<T> out((size_t)width * height * channels);
    for (uint32_t y = 0; y < height; y++) {
        const T* row = &pixels[(size_t)((uint64_t)y * view.h / height) * view.w * channels];
        T* to = &out[(size_t)y * width * channels];
        for (uint32_t x = 0; x < width; x++) {
            for (int k = 0; k < channels; k++) to[x * channels + k] = row[from_x[x] * channels + k];
        }
    }
    return out;
}

// Beach-ball colours, in six segments round the axis that it rolls about.
const Rgb kBallColours[6] = {{226, 54, 44},   {242, 242, 236}, {40, 104, 214},
                             {242, 242, 236}, {248, 196, 36},  {242, 242, 236}};

std::vector<uint8_t> color_frame(const View& view, const SceneLayer& layer, size_t n, bool motion) {
    std::vector<uint8_t> rgb = layer.rgb;
    Vec c = ball_centre(n, motion);
    // The ball's shadow: on the floor, the only thing that it can fall on.
    Pixels shadow = view.cover(light_shadow(ball_corners(c), true));
    for (int y = shadow.y0; y < shadow.y1; y++) {
        for (int x = shadow.x0; x < shadow.x1; x++) {
            size_t i = (size_t)y * view.w + x;
            if (layer.surface[i] != kFloor || layer.dim[i] == 255) continue;
            Vec p = view.ray(x, y) * layer.z[i];
            if (hit_sphere(c, p, kToLight, 1e-6, 1e300) < 0) continue;
            for (int k = 0; k < 3; k++)
                rgb[3 * i + k] = (uint8_t)(rgb[3 * i + k] * layer.dim[i] / 255);
        }
    }
    // The ball, turned by the way it has rolled from the middle.
    double turn = c.x / kBallR, cos_turn = std::cos(turn), sin_turn = std::sin(turn);
    Pixels ball = view.cover(ball_corners(c));
    for (int y = ball.y0; y < ball.y1; y++) {
        for (int x = ball.x0; x < ball.x1; x++) {
            size_t i = (size_t)y * view.w + x;
            Vec d = view.ray(x, y);
            double t = hit_sphere(c, {0, 0, 0}, d, 0, layer.z[i]);
            if (t < 0) continue;
            Vec p = d * t, nrm = (p - c) * (1 / kBallR);
            double u = nrm.x * cos_turn + nrm.y * sin_turn,
                   v = -nrm.x * sin_turn + nrm.y * cos_turn;
            // The sixth of the turn that (u, v) points to.
            double r3u = 1.7320508075688772 * u;
            int segment = v >= 0 ? (r3u > v    ? 0
                                    : r3u > -v ? 1
                                               : 2)
                                 : (r3u < v     ? 3
                                    : r3u <= -v ? 4
                                                : 5);
            const Rgb& base = kBallColours[segment];
            double facing = std::max(0.0, dot(nrm, kToLight));
            double h1 = std::max(0.0, dot(nrm, kHalfway)), h2 = h1 * h1, h8 = h2 * h2 * h2 * h2;
            double shine = 120 * h8 * h8 * h8 * h8 * h8;  // the 40th power: a small highlight
            double light = kAmbient + kDiffuse * facing;
            rgb[3 * i] = byte(base.r * light + shine);
            rgb[3 * i + 1] = byte(base.g * light + shine);
            rgb[3 * i + 2] = byte(base.b * light + shine);
        }
    }
    if (motion) draw_number(rgb, view.w, view.h, (unsigned)n);
    return rgb;
}

// Deviates of mean 0 and standard deviation 1, near enough normal (the sum of
// four uniform ones, within 3.46), from a seeded generator (splitmix64): the
// same on every run and every platform.
class Noise {
  public:
    explicit Noise(uint64_t seed) : state_(seed) {}
    double next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        double sum = (double)(z & 0xffff) + (double)(z >> 16 & 0xffff) +
                     (double)(z >> 32 & 0xffff) + (double)(z >> 48);
        return (sum / 65535 - 2) * 1.7320508075688772;
    }

  private:
    uint64_t state_;
};

std::vector<uint16_t> depth_frame(const View& view, const SceneLayer& layer, size_t n,
                                  const SceneSettings& scene) {
    // The ball and its shadow band change the fixed part within one rectangle
    // of pixels: that rectangle's distances and holes are copied and changed,
    // the rest is read from the fixed part as it is.
    Vec c = ball_centre(n, scene.motion);
    Pixels ball = view.cover(ball_corners(c));
    Pixels shadow = view.cover(emitter_shadow(ball_corners(c)));
    Pixels near{std::min(ball.x0, shadow.x0), std::min(ball.y0, shadow.y0),
                std::max(ball.x1, shadow.x1), std::max(ball.y1, shadow.y1)};
    near.x1 = std::max(near.x0, near.x1);
    near.y1 = std::max(near.y0, near.y1);
    size_t near_w = (size_t)(near.x1 - near.x0);
    std::vector<float> z(near_w * (near.y1 - near.y0));
    std::vector<uint8_t> hole(z.size()), on_ball(z.size());
    auto at = [&](int x, int y) { return (size_t)(y - near.y0) * near_w + (x - near.x0); };
    for (int y = near.y0; y < near.y1; y++) {
        for (int x = near.x0; x < near.x1; x++) {
            z[at(x, y)] = layer.z[(size_t)y * view.w + x];
            hole[at(x, y)] = layer.hole[(size_t)y * view.w + x];
        }
    }
    for (int y = ball.y0; y < ball.y1; y++) {
        for (int x = ball.x0; x < ball.x1; x++) {
            size_t i = at(x, y);
            double t = hit_sphere(c, {0, 0, 0}, view.ray(x, y), 0, z[i]);
            if (t < 0) continue;
            z[i] = (float)t;
            hole[i] = t < kNear || t > kFar;
            on_ball[i] = 1;
        }
    }
    // The ball's shadow band: what the emitter's light does not reach.
    for (int y = shadow.y0; y < shadow.y1; y++) {
        for (int x = shadow.x0; x < shadow.x1; x++) {
            size_t i = at(x, y);
            if (on_ball[i] || hole[i]) continue;
            Vec p = view.ray(x, y) * z[i];
            if (hit_sphere(c, p, kEmitter - p, 1e-9, 1) > 0) hole[i] = 1;
        }
    }
    std::vector<uint16_t> mm((size_t)view.w * view.h);
    Noise noise(scene.seed ^ mix((int64_t)n, (int64_t)view.w * 65536 + view.h));
    for (int y = 0; y < (int)view.h; y++) {
        for (int x = 0; x < (int)view.w; x++) {
            size_t i = (size_t)y * view.w + x;
            bool changed = inside(near, x, y);
            if (scene.holes && (changed ? hole[at(x, y)] : layer.hole[i])) continue;
            double d = changed ? z[at(x, y)] : layer.z[i];
            if (scene.noise) d += kNoiseAt1m * (d / 1000) * (d / 1000) * noise.next();
            mm[i] = (uint16_t)std::clamp(d + 0.5, 1.0, 65535.0);  // to the nearest whole mm
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

SceneSource::SceneSource(vt_sensor_type sensor, const Profile& profile, const JpegStyle& style,
                         const SceneSettings& scene)
    : sensor_(sensor),
      profile_(profile),
      style_(style),
      scene_(scene),
      layer_width_(profile.width),
      layer_height_(profile.height) {
    // A picture larger than kLayerPixels is made at 1/k of its sides.
    for (uint32_t k = 2; (size_t)layer_width_ * layer_height_ > kLayerPixels; k++) {
        layer_width_ = (profile.width + k - 1) / k;
        layer_height_ = (profile.height + k - 1) / k;
    }
    // Colour changes with the ball only; depth with its noise too, and a
    // loop of noise alone is as long as the frames that are kept.
    bool color = sensor == VT_SENSOR_COLOR;
    size_t length = scene.motion ? kLoopLength : 1;
    if (!color && !scene.motion && scene.noise) {
        size_t layer = layer_bytes(layer_width_, layer_height_, color);
        size_t frame = (size_t)profile.width * profile.height * 2;
        length = std::clamp<size_t>(layer < kKeptBytes ? (kKeptBytes - layer) / frame : 0, 1,
                                    kLoopLength);
    }
    loop_.resize(length);
}

std::shared_ptr<const Bytes> SceneSource::frame(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    index %= loop_.size();
    if (loop_[index]) return loop_[index];
    if (ahead_ && ahead_index_ == index) return ahead_;
    std::shared_ptr<const Bytes> made = make(index);
    if (kept_ + made->size() <= kKeptBytes) {
        loop_[index] = made;
        kept_ += made->size();
    } else {
        ahead_ = made;
        ahead_index_ = index;
    }
    return made;
}

std::shared_ptr<const Bytes> SceneSource::make(size_t index) {
    View view{layer_width_, layer_height_};
    bool color = sensor_ == VT_SENSOR_COLOR;
    if (!layer_) {
        layer_ = make_layer(view, color);
        kept_ += layer_bytes(view.w, view.h, color);
    }
    uint32_t width = profile_.width, height = profile_.height;
    if (color) {
        std::vector<uint8_t> rgb = color_frame(view, *layer_, index, scene_.motion);
        return std::make_shared<Bytes>(in_format(
            profile_.format, enlarge(rgb, 3, view, width, height), {}, width, height, style_));
    }
    std::vector<uint16_t> mm = depth_frame(view, *layer_, index, scene_);
    return std::make_shared<Bytes>(
        in_format(profile_.format, {}, enlarge(mm, 1, view, width, height), width, height, style_));
}

}  // namespace sim
