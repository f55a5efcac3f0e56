// Duoscope: shows the colour and the depth stream of the first camera side by
// side in one window, until ESC is pressed in it.
//
// Three threads share the globals below. The capture thread waits for frame
// sets and posts them into a one-place slot; a set that comes while the slot
// is full is dropped at once. The processing thread shows the posted set and
// empties the slot; while no whole set comes, it still lets the window poll
// its keys. The main thread sets everything up, waits for the window
// to close, and shuts down in order.
#include <malloc.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "check_error.h"
#include "profile_choice.h"
#include "window.h"

// The globals are static: "pipe" and "error" are also names of C library
// functions, and a program-wide symbol of that name could be bound to calls
// that other libraries make to those functions.
static Window* win = nullptr;
// Each thread has its own error slot, so that no thread reads a slot while the
// SDK writes it on behalf of another.
static thread_local vt_error* error = nullptr;
static vt_pipeline* pipe = nullptr;
static vt_frame* frame_set_for_render = nullptr;
static std::atomic<bool> frame_set_ready{false};
static std::atomic<bool> thread_exit{false};
static std::mutex frame_set_mutex;
static std::condition_variable frame_set_proc_cv;

static void frame_set_grab_func() {
    pthread_setname_np(pthread_self(), "duo-capture");
    while (!thread_exit) {
        vt_frame* frame_set = vt_pipeline_wait_for_frames(pipe, 100, &error);
        check_error(error);
        if (frame_set == nullptr) continue;
        if (frame_set_ready) {
            // The previous set is still being shown: drop this one.
            vt_delete_frame_set(frame_set, &error);
            check_error(error);
            continue;
        }
        std::lock_guard<std::mutex> lk(frame_set_mutex);
        frame_set_for_render = frame_set;
        frame_set_ready = true;
        frame_set_proc_cv.notify_all();
    }
}

// The window polls its keys, and services itself, only while it is given
// something to show. When nothing has been drawn for this long (no set came,
// or the sets that came lacked a frame), it is given an empty list: so ESC
// still ends the viewer while the camera sends no whole set. The first time,
// the camera gets longer to send a whole set; then the window shows a plain
// picture until one comes.
static const std::chrono::milliseconds key_poll_interval(100);
static const std::chrono::milliseconds first_key_poll(500);

static void frame_set_proc_func() {
    pthread_setname_np(pthread_self(), "duo-process");
    auto next_poll = std::chrono::steady_clock::now() + first_key_poll;
    while (!thread_exit) {
        std::unique_lock<std::mutex> lk(frame_set_mutex);
        frame_set_proc_cv.wait_until(lk, next_poll, [] { return frame_set_ready || thread_exit; });
        if (thread_exit) break;  // a set still in the slot is released by main

        if (frame_set_ready) {
            vt_frame* color_frame = vt_frame_set_color_frame(frame_set_for_render, &error);
            check_error(error);
            vt_frame* depth_frame = vt_frame_set_depth_frame(frame_set_for_render, &error);
            check_error(error);
            if (color_frame != nullptr && depth_frame != nullptr) {
                std::vector<vt_frame*> frames = {color_frame, depth_frame};
                win->render(frames, RENDER_ONE_ROW);
                next_poll = std::chrono::steady_clock::now() + key_poll_interval;
            }
            vt_delete_frame_set(frame_set_for_render, &error);
            check_error(error);
            frame_set_for_render = nullptr;
            if (color_frame != nullptr) {
                vt_delete_frame(color_frame, &error);
                check_error(error);
            }
            if (depth_frame != nullptr) {
                vt_delete_frame(depth_frame, &error);
                check_error(error);
            }
            frame_set_ready = false;
        }
        if (std::chrono::steady_clock::now() >= next_poll) {
            win->render({}, RENDER_ONE_ROW);
            next_poll = std::chrono::steady_clock::now() + key_poll_interval;
        }
    }
}

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    // glibc gives the freed pictures' memory back to the kernel after each set and maps it anew
    // for the next, thousands of page faults a set: keep pictures of up to 8 MB (1920 x 1080 in
    // colour) in the heap for reuse instead. Larger ones still go back, so that the heap does not
    // hold hundreds of MB at large profiles.
    mallopt(M_MMAP_THRESHOLD, 8 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);

    // Without a display the window toolkit aborts the whole process, and only
    // once the camera runs: ask the X server first, and end with a message.
    xcb_connection_t* display = xcb_connect(nullptr, nullptr);
    bool no_display = xcb_connection_has_error(display);
    xcb_disconnect(display);
    if (no_display) {
        const char* name = getenv("DISPLAY");
        fprintf(stderr, "Duoscope needs a graphical display, and none answers at DISPLAY=\"%s\".\n",
                name != nullptr ? name : "");
        return 1;
    }

    pipe = vt_create_pipeline(&error);
    check_error(error);
    vt_config* config = vt_create_config(&error);
    check_error(error);

    // Depth: YUYV or Y16 at 30 fps. Colour: MJPEG at 30 fps.
    uint32_t depth_profile_count = 0;
    vt_stream_profile** profiles =
        vt_pipeline_get_stream_profiles(pipe, VT_SENSOR_DEPTH, &depth_profile_count, &error);
    check_error(error);
    if (depth_profile_count == 0) {
        printf("No depth stream profile found!\n");
        return 1;
    }
    vt_stream_profile* depth_profile =
        choose_profile(profiles, depth_profile_count, {VT_FORMAT_YUYV, VT_FORMAT_Y16});
    vt_config_enable_stream(config, depth_profile, &error);
    check_error(error);

    uint32_t color_profile_count = 0;
    profiles = vt_pipeline_get_stream_profiles(pipe, VT_SENSOR_COLOR, &color_profile_count, &error);
    check_error(error);
    if (color_profile_count == 0) {
        printf("No color stream profile found!\n");
        return 1;
    }
    vt_stream_profile* color_profile =
        choose_profile(profiles, color_profile_count, {VT_FORMAT_MJPG});
    vt_config_enable_stream(config, color_profile, &error);
    check_error(error);

    vt_pipeline_disable_frame_sync(pipe, &error);
    check_error(error);
    vt_pipeline_start_with_config(pipe, config, &error);
    check_error(error);

    win = new Window("Duoscope", 1280, 960);
    thread_exit = false;
    frame_set_ready = false;
    std::thread frame_set_grab_thread(frame_set_grab_func);
    std::thread frame_set_proc_thread(frame_set_proc_func);

    // The processing thread closes the window when it sees ESC.
    while (*win) std::this_thread::sleep_for(std::chrono::milliseconds(10));

    {
        std::lock_guard<std::mutex> lk(frame_set_mutex);
        thread_exit = true;
    }
    frame_set_proc_cv.notify_all();
    if (frame_set_grab_thread.joinable()) frame_set_grab_thread.join();
    if (frame_set_proc_thread.joinable()) frame_set_proc_thread.join();

    vt_pipeline_stop(pipe, &error);
    check_error(error);

    delete win;
    win = nullptr;
    if (frame_set_for_render != nullptr) {
        vt_delete_frame_set(frame_set_for_render, &error);
        check_error(error);
        frame_set_for_render = nullptr;
    }

    vt_delete_pipeline(pipe, &error);
    check_error(error);
    return 0;
}
