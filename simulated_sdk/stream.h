// The frame sets of a started pipeline: made by a producer thread of the SDK
// at the streams' frame rate, or on demand, and queued for the waits.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "scenario.h"
#include "scene.h"

namespace sim {

using Clock = std::chrono::steady_clock;

// Marks a frame set once the data of one of its frames has been fetched.
struct SetRecord {
    bool read = false;
};

// One frame as the camera made it; shared by every handle to it.
struct FrameData {
    vt_frame_type type = VT_FRAME_VIDEO;
    vt_format format = VT_FORMAT_YUYV;
    uint32_t width = 0;
    uint32_t height = 0;
    std::shared_ptr<Bytes> bytes;  // owns the data, one buffer per frame
    uint8_t* data = nullptr;
    uint32_t size = 0;
    Clock::time_point produced;
    bool data_fetched = false;
    std::shared_ptr<SetRecord> set;
};

using FrameSetData = std::vector<std::shared_ptr<FrameData>>;

// An enabled stream: the sensor, its profile, and where its pictures come from.
struct StreamSpec {
    vt_sensor_type sensor;
    Profile profile;
    std::shared_ptr<FrameSource> source;
};

class Stream {
  public:
    // With times (a recording's: when each of its sets reached the recorder,
    // from the first) every set holds frame n of each stream's loop and
    // comes at its time, the loop starting again one mean interval after its
    // last set.
    Stream(std::vector<StreamSpec> streams, bool frame_sync, StreamSettings settings,
           std::vector<std::chrono::microseconds> times = {});
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // The next frame set, or nothing when none came within the timeout or the
    // stream was stopped meanwhile. Throws std::runtime_error when the frames
    // cannot be made.
    std::optional<FrameSetData> wait(uint32_t timeout_ms);
    void stop();
    // Sets that were made but pushed out of the queue before a wait took them.
    uint64_t discarded() const { return discarded_; }
    // Sets that were made and queued, taken or not.
    uint64_t queued() const { return queued_; }
    // The times' gaps shorter than half a frame of the profiles' rate, which
    // no camera at that rate makes (all equal times, or times written in
    // milliseconds); they play as a whole frame, at the profiles' rate. A
    // longer gap is a camera's jitter and plays as it is.
    uint64_t fast_gaps() const { return fast_gaps_; }
    Clock::duration period() const { return period_; }

  private:
    static constexpr size_t kQueueLength = 2;
    void produce();
    // Which frame of stream s's loop set n carries.
    uint64_t frame_index(const StreamSpec& s, uint64_t n) const;
    FrameSetData make_set(uint64_t n);
    Clock::duration gap_after(uint64_t n) const;  // from set n to set n + 1

    std::vector<StreamSpec> streams_;
    bool frame_sync_;
    StreamSettings settings_;
    Clock::duration period_;
    uint32_t tick_fps_;
    std::vector<std::chrono::microseconds> times_;
    uint64_t fast_gaps_ = 0;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<FrameSetData> queue_;
    std::string failure_;
    bool stopping_ = false;
    uint64_t made_ = 0;
    std::atomic<uint64_t> discarded_{0};
    std::atomic<uint64_t> queued_{0};
    std::thread producer_;
};

}  // namespace sim
