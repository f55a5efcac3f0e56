#include "window.h"

#include <climits>
#include <exception>
#include <iostream>
#include <utility>

#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

const int kEscKey = 27;

// Whether a rows x cols view of sampleSize-byte samples can be made over a
// frame's bytes: they are there, the view is not empty, its sides fit an int
// and it reads no more than dataSize bytes.
bool viewFits(const void* data, uint32_t dataSize, uint32_t rows, uint32_t cols,
              uint32_t sampleSize) {
    if (data == nullptr || rows == 0 || cols == 0 || rows > INT_MAX || cols > INT_MAX) {
        return false;
    }
    return uint64_t(rows) * cols * sampleSize <= dataSize;
}

// Whether the OpenCV window is still on screen; the window manager's close
// button takes it away. OpenCV's Qt back end tells by the window's
// visibility, and throws when the window was its last one; its GTK back end
// (OpenCV 4.5) knows no visibility (-1) but no longer finds the closed
// window, whose other properties then read -1.
bool onScreen(const std::string& name) {
    try {
        return cv::getWindowProperty(name, cv::WND_PROP_VISIBLE) != 0 &&
               cv::getWindowProperty(name, cv::WND_PROP_AUTOSIZE) >= 0;
    } catch (const cv::Exception&) {
        return false;
    }
}

}  // namespace

Window::Window(std::string name, int width, int height)
    : _name(std::move(name)),
      _width(width),
      _height(height),
      _windowClose(false),
      _key(-1),
      _shown(false) {}

Window::~Window() {}

int Window::getKey() const {
    return _key;
}

Window::operator bool() const {
    return !_windowClose;
}

void Window::render(std::vector<vt_frame*> frames, RenderType renderType) {
    _key = cv::waitKey(10);
    if (_key == kEscKey) _windowClose = true;
    if (!_windowClose && _shown && !onScreen(_name)) _windowClose = true;  // the close button
    if (_windowClose) {
        cv::destroyAllWindows();
        return;
    }
    std::vector<cv::Mat> mats = processFrames(std::move(frames));
    renderMats(std::move(mats), renderType);
    // Until a picture has been shown, a call that shows none puts up a plain
    // black one of the window's size: the window is there, to take ESC or
    // its close button, whatever the frames are.
    if (!_shown) renderMats({cv::Mat::zeros(_height, _width, CV_8UC3)}, RENDER_SINGLE);
}

// A null frame or one with fewer than 1024 bytes ends the list. An MJPEG
// colour frame is decoded (an empty image when its bytes do not decode or
// OpenCV refuses the picture they describe); a depth or infrared frame of
// 16-bit samples becomes grey, v * 0.25 limited to 255, in three channels.
// Any other frame, and one whose bytes cannot back its view, gives no image.
// The frames' bytes are wrapped, not copied; every image made owns its pixels.
std::vector<cv::Mat> Window::processFrames(std::vector<vt_frame*> frames) {
    std::vector<cv::Mat> mats;
    vt_error* error = nullptr;  // failures show in the values read; never examined
    for (vt_frame* frame : frames) {
        if (frame == nullptr) break;
        if (vt_frame_data_size(frame, &error) < 1024) break;

        void* data = vt_frame_data(frame, &error);
        uint32_t dataSize = vt_frame_data_size(frame, &error);
        vt_frame_type type = vt_frame_get_type(frame, &error);
        vt_format format = vt_frame_format(frame, &error);
        uint32_t width = vt_frame_width(frame, &error);
        uint32_t height = vt_frame_height(frame, &error);

        // The viewer's depth rule, on purpose without Y12: a recording holds
        // Y12 as 16-bit samples too (recording/recording_format.h), but the
        // window shows only these three as grey.
        bool sixteenBit =
            format == VT_FORMAT_YUYV || format == VT_FORMAT_YUY2 || format == VT_FORMAT_Y16;
        if (type == VT_FRAME_COLOR && format == VT_FORMAT_MJPG) {
            if (!viewFits(data, dataSize, 1, dataSize, 1)) continue;
            cv::Mat rawMat(1, int(dataSize), CV_8UC1, data);
            cv::Mat colorMat;
            try {
                colorMat = cv::imdecode(rawMat, cv::IMREAD_COLOR);
            } catch (const std::exception&) {
                // OpenCV throws instead of returning nothing for a header that
                // claims more pixels than it decodes, or when it cannot get the
                // memory for them: a picture that does not decode, too.
            }
            mats.push_back(colorMat);
        } else if ((type == VT_FRAME_DEPTH || type == VT_FRAME_IR) && sixteenBit) {
            if (!viewFits(data, dataSize, height, width, 2)) continue;
            cv::Mat rawMat(int(height), int(width), CV_16UC1, data);
            cv::Mat cvtMat;
            cv::convertScaleAbs(rawMat, cvtMat, 0.25, 0);
            cv::Mat greyMat;  // the depth or infrared image
            cv::cvtColor(cvtMat, greyMat, cv::COLOR_GRAY2BGR, 0);
            mats.push_back(greyMat);
        }
    }
    return mats;
}

void Window::renderMats(std::vector<cv::Mat> mats, RenderType renderType) {
    if (mats.empty()) return;
    try {
        int n = int(mats.size());
        cv::Mat outMat;
        switch (renderType) {
            case RENDER_SINGLE:
                cv::resize(mats[0], outMat, cv::Size(_width, _height), 0, 0, cv::INTER_LINEAR);
                break;
            case RENDER_ONE_ROW:
            case RENDER_ONE_COLOUMN:
                for (cv::Mat mat : mats) {
                    cv::Mat resizeMat;  // new each time: the first one becomes outMat
                    cv::resize(mat, resizeMat, cv::Size(_width / n, _height / n), 0, 0,
                               cv::INTER_LINEAR);
                    if (outMat.dims == 0) {
                        outMat = resizeMat;
                    } else if (renderType == RENDER_ONE_ROW) {
                        cv::hconcat(outMat, resizeMat, outMat);
                    } else {
                        cv::vconcat(outMat, resizeMat, outMat);
                    }
                }
                break;
            case RENDER_GRID: {
                int cols = 1;
                while (cols * cols < n) cols++;
                int rows = (n + cols - 1) / cols;
                cv::Size cell(_width / cols, _height / rows);
                outMat = cv::Mat::zeros(cell.height * rows, cell.width * cols, mats[0].type());
                for (int i = 0; i < n; i++) {
                    cv::Mat resizeMat;
                    cv::resize(mats[i], resizeMat, cell, 0, 0, cv::INTER_LINEAR);
                    CV_Assert(resizeMat.type() == outMat.type());
                    cv::Point corner(i % cols * cell.width, i / cols * cell.height);
                    resizeMat.copyTo(outMat(cv::Rect(corner, cell)));
                }
                break;
            }
            case RENDER_OVERLAY: {
                cv::Mat sum =
                    cv::Mat::zeros(_height, _width, CV_MAKETYPE(CV_32F, mats[0].channels()));
                for (cv::Mat mat : mats) {
                    cv::Mat resizeMat;
                    cv::resize(mat, resizeMat, sum.size(), 0, 0, cv::INTER_LINEAR);
                    CV_Assert(resizeMat.type() == mats[0].type());
                    cv::accumulate(resizeMat, sum);
                }
                sum.convertTo(outMat, mats[0].type(), 1.0 / n);
                break;
            }
            default:  // not an arrangement: nothing to show
                return;
        }
        // A plain window, without the toolbar and status bar: their widgets keep
        // timers on this thread, and destroying them at the process's exit,
        // from another thread, made the toolkit complain on standard error.
        cv::namedWindow(_name, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
        cv::imshow(_name, outMat);
        _shown = true;
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
    }
}
