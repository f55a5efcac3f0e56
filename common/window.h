// The preview window: turns camera frames into pictures, shows them in one
// OpenCV window and polls that window's keyboard.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "vantra_sdk.h"

// How renderMats arranges the images of one call within the window's
// width x height area. An empty list shows nothing, whatever the arrangement,
// and so does a value that names none.
enum RenderType : uint32_t {
    // The first image alone, scaled to the whole width x height; the others
    // are ignored.
    RENDER_SINGLE = 0,
    // All images side by side, first on the left, each scaled to
    // width / n x height / n (n images).
    RENDER_ONE_ROW = 1,
    // All images stacked, first on top, each scaled to width / n x height / n.
    RENDER_ONE_COLOUMN = 2,
    // A near-square grid filled row by row: cols = ceil(sqrt(n)),
    // rows = ceil(n / cols), each cell width / cols x height / rows; cells
    // without an image stay black.
    RENDER_GRID = 3,
    // All images scaled to width x height and blended over one another with
    // equal weights.
    RENDER_OVERLAY = 4,
};

class Window {
  public:
    // Makes no OpenCV call: the window appears with the first call of render.
    Window(std::string name, int width, int height);
    // Leaves an OpenCV window that is on screen alone.
    ~Window();

    // Polls the keyboard for 10 ms; ESC, or the window manager's close button,
    // closes the window for good. While open, converts the frames and shows
    // them arranged by renderType; once closed, destroys all OpenCV windows
    // instead. The frames stay the caller's. Frames that give no picture (an
    // empty list, say) show nothing, except before any picture has been
    // shown: then the call shows a plain black picture of width x height, so
    // that the window is there to be closed.
    void render(std::vector<vt_frame*> frames, RenderType renderType);
    // The key code of the latest poll, -1 when it saw no key.
    int getKey() const;
    // True while the window is open. Safe to call from any thread.
    explicit operator bool() const;

  private:
    friend class WindowTestPeer;

    // One 8-bit, three-channel image per converted frame, in frame order.
    std::vector<cv::Mat> processFrames(std::vector<vt_frame*> frames);
    void renderMats(std::vector<cv::Mat> mats, RenderType renderType);

    std::string _name;
    int _width;
    int _height;
    std::atomic<bool> _windowClose;
    int _key;
    bool _shown;  // a picture has been shown under _name
};
