#include "xscreen.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdlib>
#include <map>
#include <mutex>

namespace xscreen {
namespace {

// A window can vanish between two requests; such errors only make the
// request give nothing, instead of ending the process.
int ignore_error(Display*, XErrorEvent*) {
    return 0;
}

std::mutex mutex;
// Never destroyed, so that connections still open at exit stay reachable.
std::map<std::string, Display*>& connections = *new std::map<std::string, Display*>;

// One connection to each server, kept until disconnect().
Display* connection(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = connections.find(name);
    if (it != connections.end()) return it->second;
    XSetErrorHandler(ignore_error);
    Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    connections[name] = display;
    return display;
}

bool viewable(Display* display, Window window) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(display, window, &attributes) != 0 &&
           attributes.map_state == IsViewable;
}

Window search(Display* display, Window window, const std::string& name) {
    char* title = nullptr;
    if (XFetchName(display, window, &title) != 0 && title != nullptr) {
        bool match = name == title;
        XFree(title);
        if (match && viewable(display, window)) return window;
    }
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && found == 0; i++) {
        found = search(display, children[i], name);
    }
    if (children != nullptr) XFree(children);
    return found;
}

}  // namespace

void disconnect(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = connections.find(name);
    if (it == connections.end()) return;
    if (it->second != nullptr) XCloseDisplay(it->second);
    connections.erase(it);
}

bool have_display() {
    const char* display = std::getenv("DISPLAY");
    return display != nullptr && *display != '\0';
}

unsigned long find_window(const std::string& name, const std::string& server) {
    Display* display = connection(server);
    if (display == nullptr) return 0;
    XSync(display, False);
    return search(display, DefaultRootWindow(display), name);
}

bool close_window(unsigned long window, const std::string& server) {
    Display* display = connection(server);
    if (display == nullptr || window == 0) return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = (long)XInternAtom(display, "WM_DELETE_WINDOW", False);
    event.xclient.data.l[1] = CurrentTime;
    Status sent = XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
    return sent != 0;
}

cv::Mat capture(unsigned long window, const std::string& server) {
    Display* display = connection(server);
    if (display == nullptr || window == 0) return cv::Mat();
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, window, &attributes) == 0 ||
        attributes.map_state != IsViewable) {
        return cv::Mat();
    }
    XImage* image =
        XGetImage(display, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
    if (image == nullptr) return cv::Mat();
    if (image->red_mask != 0xff0000 || image->green_mask != 0xff00 || image->blue_mask != 0xff) {
        XDestroyImage(image);  // not the 24-bit TrueColor screen that the tests read
        return cv::Mat();
    }
    cv::Mat picture(attributes.height, attributes.width, CV_8UC3);
    for (int y = 0; y < attributes.height; y++) {
        for (int x = 0; x < attributes.width; x++) {
            unsigned long pixel = XGetPixel(image, x, y);
            picture.at<cv::Vec3b>(y, x) =
                cv::Vec3b(pixel & 0xff, (pixel >> 8) & 0xff, (pixel >> 16) & 0xff);
        }
    }
    XDestroyImage(image);
    return picture;
}

}  // namespace xscreen
