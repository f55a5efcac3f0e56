// A private X server for one test, and what a person does with a window on
// it: find it, press a key in it, look at it.
#pragma once

#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "harness.h"

namespace harness {

class XServer {
  public:
    XServer();  // starts Xvfb on a free display; throws when it cannot
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;
    const std::string& display() const { return display_; }

    // The id of the window with exactly this name, or 0 when none appears
    // within the timeout.
    unsigned long find_window(const std::string& name, double timeout_seconds = 20) const;
    // Presses a key (an xdotool key name such as "Escape" or "a") as a keyboard
    // does: the window is given the input focus, then a real key event goes to
    // it. GTK windows ignore keys sent to a window that does not have the focus.
    bool key(unsigned long window, const std::string& key_name) const;
    // What the window shows, toolbar and margins included; empty on failure.
    cv::Mat screenshot(unsigned long window) const;

  private:
    std::unique_ptr<Child> server_;
    std::string display_;
};

// Where the picture stands in a screenshot of a window, without the toolkit's
// toolbar and the flat margins around it; an empty rectangle when there is
// none.
cv::Rect find_picture(const cv::Mat& window);

}  // namespace harness
