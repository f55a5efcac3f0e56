// The built-in scene as a program gets it: the distances that
// simulated_sdk/README.md gives, and a depth camera's holes and noise, with
// depth and colour showing the same things at the same places.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "sim_fixture.h"
#include "vantra_sdk.h"

namespace {

// One frame set: colour decoded to BGR, depth in millimetres.
struct Shot {
    cv::Mat color;
    cv::Mat depth;
};

class Scene : public SimTest {
  protected:
    // The first sets of a camera with colour MJPG 1280 x 720 and depth Y16
    // 640 x 480, another shape, with the scene settings given.
    std::vector<Shot> take(const std::string& scene, int count) {
        use(R"({"devices": [{"profiles": {
                   "depth": [{"format": "Y16", "width": 640, "height": 480, "fps": 30}],
                   "color": [{"format": "MJPG", "width": 1280, "height": 720, "fps": 30}]}}],
                "stream": {"realtime": false}, "scene": )" +
            scene + "}");
        vt_pipeline* pipe = vt_create_pipeline(&error);
        vt_config* config = vt_create_config(&error);
        uint32_t n = 0;
        for (vt_sensor_type sensor : {VT_SENSOR_DEPTH, VT_SENSOR_COLOR}) {
            vt_stream_profile** list = vt_pipeline_get_stream_profiles(pipe, sensor, &n, &error);
            vt_config_enable_stream(config, list[0], &error);
        }
        vt_pipeline_start_with_config(pipe, config, &error);
        std::vector<Shot> shots;
        for (int i = 0; i < count && error == nullptr; i++) {
            vt_frame* set = vt_pipeline_wait_for_frames(pipe, 1000, &error);
            vt_frame* color = vt_frame_set_color_frame(set, &error);
            vt_frame* depth = vt_frame_set_depth_frame(set, &error);
            cv::Mat jpeg(1, (int)vt_frame_data_size(color, &error), CV_8UC1,
                         vt_frame_data(color, &error));
            cv::Mat mm(480, 640, CV_16UC1, vt_frame_data(depth, &error));
            shots.push_back({cv::imdecode(jpeg, cv::IMREAD_COLOR), mm.clone()});
            vt_delete_frame_set(set, &error);
            vt_delete_frame(color, &error);
            vt_delete_frame(depth, &error);
        }
        vt_pipeline_stop(pipe, &error);
        vt_delete_pipeline(pipe, &error);
        EXPECT_EQ(error, nullptr);
        return shots;
    }
};

// Pixels of the 640 x 480 depth picture where the reference puts things.
const cv::Point kWall(64, 264);     // bricks, 1000 mm
const cv::Point kBox(482, 337);     // the box's front, 750 mm
const cv::Point kWindow(192, 76);   // the window: the view at 3000 mm, beyond the range
const cv::Point kScreen(325, 132);  // the dark screen on the wall

TEST_F(Scene, WithoutFlawsDepthIsTheDistanceAndFramesAreEqual) {
    std::vector<Shot> shots = take(R"({"motion": false, "noise": false, "holes": false})", 2);
    ASSERT_EQ(shots.size(), 2u);
    const cv::Mat& mm = shots[0].depth;
    EXPECT_EQ(mm.at<uint16_t>(kWall), 1000);
    EXPECT_EQ(mm.at<uint16_t>(kBox), 750);
    EXPECT_EQ(mm.at<uint16_t>(kWindow), 3000);
    EXPECT_EQ(mm.at<uint16_t>(kScreen), 1000);
    EXPECT_EQ(cv::countNonZero(mm == 0), 0);
    EXPECT_EQ(cv::countNonZero(mm != shots[1].depth), 0);
    EXPECT_EQ(cv::norm(shots[0].color, shots[1].color, cv::NORM_INF), 0);

    // With motion the ball starts where it rests and rolls to the right,
    // 24 mm in a frame: depth changes on its pixels alone (those of x from
    // -80 to 104 mm, y from 40 to 200 mm, z from 470 to 630 mm).
    std::vector<Shot> moving = take(R"({"noise": false, "holes": false})", 2);
    ASSERT_EQ(moving.size(), 2u);
    EXPECT_EQ(cv::countNonZero(moving[0].depth != mm), 0);
    cv::Rect moved = cv::boundingRect(moving[1].depth != mm);
    EXPECT_EQ(moved & cv::Rect(225, 275, 218, 205), moved) << moved;
    EXPECT_GT(moved.x + moved.width, 415) << moved;  // beyond its right edge at rest
}

TEST_F(Scene, DepthHasHolesAndNoiseAndItsEdgesAreColourEdges) {
    std::vector<Shot> shots = take(R"({"motion": false, "seed": -5})", 2);
    ASSERT_EQ(shots.size(), 2u);
    const cv::Mat &mm = shots[0].depth, &bgr = shots[0].color;

    // Holes: beyond the range, on the dark screen, and in a band left of the
    // post, where the emitter's light does not reach; none on its right.
    EXPECT_EQ(mm.at<uint16_t>(kWindow), 0);
    EXPECT_EQ(mm.at<uint16_t>(kScreen), 0);
    const uint16_t* row = mm.ptr<uint16_t>(300);
    int post = 20;
    while (post < 320 && !(row[post] > 700 && row[post] < 900)) post++;
    ASSERT_LT(post, 320) << "no post in row 300";
    EXPECT_EQ(row[post - 1], 0);
    EXPECT_NEAR(row[post - 12], 1000, 10);
    int right = post;
    while (row[right] > 700 && row[right] < 900) right++;
    EXPECT_NEAR(row[right], 1000, 10);

    // Noise: sigma 2 mm at 1 m on the wall, another draw in the next frame,
    // whole millimetres by the format; less near the camera.
    auto sigma = [&](cv::Rect area) {
        cv::Mat a, b;
        shots[0].depth(area).convertTo(a, CV_64F);
        shots[1].depth(area).convertTo(b, CV_64F);
        cv::Scalar mean, sd;
        cv::meanStdDev(a - b, mean, sd);
        return sd[0] / std::sqrt(2.0);
    };
    EXPECT_NEAR(sigma({20, 240, 60, 40}), 2.0, 0.2);
    EXPECT_LT(sigma({0, 470, 640, 10}), 0.8);  // the floor at 470 mm

    // Steps of depth between two pixels with data lie where the colour
    // picture changes too, within one depth pixel; four pixels off, most of
    // them would not.
    auto colour_change = [&](int y, int x) {  // across the left edge of depth pixel x
        const cv::Vec3b* c = bgr.ptr<cv::Vec3b>((int)((y + 0.5) * 1.5));
        double change = 0;
        for (int at = std::max(3, 2 * x - 2); at <= std::min(1276, 2 * x + 2); at++) {
            for (int k = 0; k < 3; k++) {
                double left = (c[at - 3][k] + c[at - 2][k] + c[at - 1][k]) / 3.0;
                double right = (c[at][k] + c[at + 1][k] + c[at + 2][k]) / 3.0;
                change = std::max(change, std::fabs(left - right));
            }
        }
        return change > 25;
    };
    int edges = 0, matched = 0, matched_off = 0;
    for (int y = 200; y < 440; y += 8) {
        const uint16_t* d = mm.ptr<uint16_t>(y);
        for (int x = 1; x < 640; x++) {
            if (d[x - 1] == 0 || d[x] == 0 || std::abs(d[x - 1] - d[x]) < 40) continue;
            edges++;
            matched += colour_change(y, x);
            matched_off += colour_change(y, x < 320 ? x + 4 : x - 4);
        }
    }
    EXPECT_GT(edges, 40);
    EXPECT_GE(matched, edges * 9 / 10);
    EXPECT_LT(matched_off, edges / 2);

    // The same scenario makes the same frames again; another seed draws
    // other noise, within its bounds, and changes nothing else: the same
    // holes, the same colour.
    std::vector<Shot> again = take(R"({"motion": false, "seed": -5})", 1);
    std::vector<Shot> other = take(R"({"motion": false, "seed": 6})", 1);
    ASSERT_EQ(again.size() + other.size(), 2u);
    EXPECT_EQ(cv::countNonZero(again[0].depth != mm), 0);
    EXPECT_EQ(cv::countNonZero((other[0].depth == 0) != (mm == 0)), 0);
    EXPECT_GT(cv::countNonZero(other[0].depth != mm), cv::countNonZero(mm) / 2);
    EXPECT_LE(cv::norm(other[0].depth, mm, cv::NORM_INF), 32);  // 2 x 3.46 sigma at 1.5 m, + 1
    EXPECT_EQ(cv::norm(other[0].color, bgr, cv::NORM_INF), 0);
}

TEST_F(Scene, BadSettingsAreReported) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"scene": {"noise": 1}})", "scene.noise: must be true or false"},
        {R"({"scene": {"seed": 1.5}})", "scene.seed: must be a whole number"},
        {R"({"scene": {"seed": 18446744073709551616}})",
         "scene.seed: too large: must be from "
         "-9223372036854775808 to 18446744073709551615"},
        {R"({"scene": {"seed": 1E2}})",
         "scene.seed: must be written without a point or an exponent"},
        {R"({"scene": {"speed": 2}})", "scene: unknown key \"speed\""},
        {R"({"scene": []})", "scene: must be an object"}};
    for (const auto& c : cases) {
        use(c.first);
        EXPECT_EQ(vt_create_pipeline(&error), nullptr);
        ASSERT_NE(error, nullptr) << c.first;
        EXPECT_NE(std::string(vt_error_message(error)).find(c.second), std::string::npos)
            << vt_error_message(error);
        error = nullptr;
    }
    use(R"({"scene": {"seed": 18446744073709551615}})");  // any whole number of 64 bits
    vt_delete_pipeline(vt_create_pipeline(&error), &error);
    EXPECT_EQ(error, nullptr);
}

}  // namespace
