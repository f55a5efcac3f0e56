// Reads back what the X server shows: finds a top-level window by its title
// and copies its pixels, toolbar and margins included.
#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace xscreen {

// True when DISPLAY names an X server.
bool have_display();

// In both, display names the X server (":3"); empty means the one of DISPLAY.

// The id of a viewable window titled name, 0 when there is none.
unsigned long find_window(const std::string& name, const std::string& display = "");

// The window's pixels as 8-bit blue-green-red, or an empty image when the
// window is gone or not viewable.
cv::Mat capture(unsigned long window, const std::string& display = "");

// Asks the window to close as a window manager's close button does: a
// WM_PROTOCOLS client message carrying WM_DELETE_WINDOW. False when it could
// not be sent.
bool close_window(unsigned long window, const std::string& display = "");

// Closes this process's connection to the server, if any: call it before the
// server goes away.
void disconnect(const std::string& display);

}  // namespace xscreen
