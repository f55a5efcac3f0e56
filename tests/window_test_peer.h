// Reaches the two private steps of Window::render, for tests and fuzzing.
#pragma once

#include <vector>

#include "window.h"

class WindowTestPeer {
  public:
    static std::vector<cv::Mat> processFrames(Window& window, std::vector<vt_frame*> frames) {
        return window.processFrames(frames);
    }
    static void renderMats(Window& window, std::vector<cv::Mat> mats, RenderType type) {
        window.renderMats(mats, type);
    }
};
