#include "xserver.h"

#include "xscreen.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include <opencv2/imgproc.hpp>

namespace harness {

XServer::XServer() {
    // Xvfb writes the display number it chose to the descriptor named by
    // -displayfd once it accepts connections. Without -noreset it resets
    // itself whenever its last client goes, and refuses whoever connects
    // during the reset.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    Launch launch({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1600x1200x24",
                   "-nolisten", "tcp", "-noreset"});
    launch.keep = {fds[1]};
    try {
        server_ = std::make_unique<Child>(launch);
    } catch (...) {
        close(fds[0]);
        close(fds[1]);
        throw;
    }
    close(fds[1]);
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) throw std::runtime_error("Xvfb did not start");
    display_ = ":" + number;
}

XServer::~XServer() {
    xscreen::disconnect(display_);
    kill(server_->pid(), SIGTERM);
    server_->wait(10);
}

unsigned long XServer::find_window(const std::string& name, double timeout_seconds) const {
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
    for (;;) {
        unsigned long window = xscreen::find_window(name, display_);
        if (window != 0 || std::chrono::steady_clock::now() >= deadline) return window;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool XServer::key(unsigned long window, const std::string& key_name) const {
    return run({"xdotool", "windowfocus", "--sync", std::to_string(window), "key", key_name},
               {{"DISPLAY", display_}})
               .status == 0;
}

cv::Mat XServer::screenshot(unsigned long window) const {
    return xscreen::capture(window, display_);
}

namespace {

// The longest run of entries of a one-row or one-column count that reach the
// threshold, as [first, last]; {-1, -1} when there is none.
std::pair<int, int> longest_run(const cv::Mat& counts, int threshold) {
    std::pair<int, int> best{-1, -1};
    int start = -1;
    for (int i = 0; i <= (int)counts.total(); i++) {
        bool in = i < (int)counts.total() && counts.at<int>(i) >= threshold;
        if (in && start < 0) start = i;
        if (!in && start >= 0) {
            if (i - start > best.second - best.first + 1) best = {start, i - 1};
            start = -1;
        }
    }
    return best;
}

}  // namespace

cv::Rect find_picture(const cv::Mat& window) {
    // The toolkit paints the window in one flat colour around the picture:
    // take it from the window's left edge, find the columns that carry much
    // else (the toolbar's few do not), then within them the longest run of
    // rows that are mostly something else.
    cv::Vec3b flat = window.at<cv::Vec3b>(window.rows / 2, 1);
    // A window without that margin is the picture and nothing else.
    int r = window.rows - 2, c = window.cols - 2;
    for (cv::Point p : {cv::Point(1, 1), cv::Point(c, 1), cv::Point(1, r), cv::Point(c, r)}) {
        if (window.at<cv::Vec3b>(p) != flat) return cv::Rect(0, 0, window.cols, window.rows);
    }
    cv::Mat diff, grey;
    cv::absdiff(window, cv::Scalar(flat[0], flat[1], flat[2]), diff);
    cv::cvtColor(diff, grey, cv::COLOR_BGR2GRAY);
    cv::Mat mask = (grey > 3) / 255;
    cv::Mat cols, rows;
    cv::reduce(mask, cols, 0, cv::REDUCE_SUM, CV_32S);
    auto [left, right] = longest_run(cols, window.rows / 4);
    if (left < 0) return {};
    cv::reduce(mask.colRange(left, right + 1), rows, 1, cv::REDUCE_SUM, CV_32S);
    auto [top, bottom] = longest_run(rows, (right - left + 1) / 2);
    if (top < 0) return {};
    return cv::Rect(left, top, right - left + 1, bottom - top + 1);
}

}  // namespace harness
