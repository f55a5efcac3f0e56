// Reads back what the X server shows: finds a top-level window by its title
// and copies its pixels, toolbar and margins included.
#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace xscreen {

// True when DISPLAY names an X server.
bool have_display();

// The id of a viewable window titled name, 0 when there is none.
unsigned long find_window(const std::string& name);

// The window's pixels as 8-bit blue-green-red, or an empty image when the
// window is gone or not viewable.
cv::Mat capture(unsigned long window);

}  // namespace xscreen
