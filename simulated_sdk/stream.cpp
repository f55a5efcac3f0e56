#include "stream.h"

#include <pthread.h>

#include <algorithm>
#include <stdexcept>

namespace sim {

Stream::Stream(std::vector<StreamSpec> streams, bool frame_sync, StreamSettings settings,
               std::vector<std::chrono::microseconds> times)
    : streams_(std::move(streams)),
      frame_sync_(frame_sync),
      settings_(std::move(settings)),
      times_(std::move(times)) {
    // With frame sync every set holds a frame of each stream, at the slowest
    // stream's rate; without it the sets come at the fastest stream's rate and
    // hold the frames that are due.
    tick_fps_ = streams_.front().profile.fps;
    for (const StreamSpec& s : streams_) {
        tick_fps_ =
            frame_sync_ ? std::min(tick_fps_, s.profile.fps) : std::max(tick_fps_, s.profile.fps);
    }
    period_ =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / tick_fps_));
    for (size_t i = 1; i < times_.size(); i++) {
        if (times_[i] - times_[i - 1] < period_ / 2) fast_gaps_++;
    }
    if (settings_.realtime) producer_ = std::thread(&Stream::produce, this);
}

Stream::~Stream() {
    stop();
}

void Stream::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    changed_.notify_all();
    if (producer_.joinable()) producer_.join();
}

uint64_t Stream::frame_index(const StreamSpec& s, uint64_t n) const {
    return times_.empty() ? n * s.profile.fps / tick_fps_ : n;
}

FrameSetData Stream::make_set(uint64_t n) {
    SetKind kind = settings_.pattern[n % settings_.pattern.size()];
    auto record = std::make_shared<SetRecord>();
    Clock::time_point now = Clock::now();
    FrameSetData set;
    for (const StreamSpec& s : streams_) {
        uint64_t index = frame_index(s, n);
        bool due = !times_.empty() || frame_sync_ || n == 0 || index != frame_index(s, n - 1);
        bool color = s.sensor == VT_SENSOR_COLOR;
        if (!due || kind == SetKind::empty) continue;
        if (color && kind == SetKind::depth_only) continue;
        if (!color && kind == SetKind::color_only) continue;

        auto f = std::make_shared<FrameData>();
        f->type = color ? VT_FRAME_COLOR : VT_FRAME_DEPTH;
        f->format = s.profile.format;
        f->width = s.profile.width;
        f->height = s.profile.height;
        // Every frame gets a buffer of its own, so that a program that writes
        // into one frame's data does not change later frames.
        f->bytes = std::make_shared<Bytes>(*s.source->frame(index % s.source->length()));
        if (color && kind == SetKind::bad_color) {
            f->bytes->assign(4096, 0);
            for (size_t i = 0; i < f->bytes->size(); i++) (*f->bytes)[i] = (uint8_t)(i * 7 + 1);
        } else if (color && kind == SetKind::short_color) {
            f->bytes->resize(std::min<size_t>(f->bytes->size(), 512));
        } else if (!color && kind == SetKind::truncated_depth) {
            size_t whole = (size_t)f->width * f->height * 2;
            f->bytes->resize(std::max<size_t>(1024, whole / 2));
        }
        f->data = f->bytes->data();
        f->size = (uint32_t)f->bytes->size();
        f->produced = now;
        f->set = record;
        set.push_back(std::move(f));
    }
    return set;
}

Clock::duration Stream::gap_after(uint64_t n) const {
    if (times_.empty()) return period_;
    size_t next = (size_t)((n + 1) % times_.size());
    // Gaps are at most an hour (vtrec::parse_times), so none overflows.
    Clock::duration gap = period_;
    if (next != 0) {
        gap = times_[next] - times_[next - 1];
    } else if (times_.size() > 1) {
        gap = (times_.back() - times_.front()) / (times_.size() - 1);
    }
    return gap < period_ / 2 ? period_ : gap;
}

void Stream::produce() {
    pthread_setname_np(pthread_self(), "vt-sim");
    // The first set's frames are made before its time starts, one thread for
    // each stream, while the program goes on with its own start, so that the
    // first set is not old when it comes. A failure shows when the set is
    // made.
    std::vector<std::thread> makers;
    for (const StreamSpec& s : streams_) {
        makers.emplace_back([&s] {
            try {
                s.source->prepare(0);
            } catch (const std::exception&) {
            }
        });
    }
    for (std::thread& t : makers) t.join();
    Clock::time_point next = Clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    auto stopped = [this] { return stopping_; };
    while (!changed_.wait_until(lock, next, stopped)) {
        if (settings_.framesets > 0 && made_ >= (uint64_t)settings_.framesets) {
            changed_.wait(lock, stopped);
            break;
        }
        uint64_t n = made_++;
        lock.unlock();
        FrameSetData set;
        std::string failure;
        try {
            set = make_set(n);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        lock.lock();
        if (!failure.empty()) {
            failure_ = failure;
            changed_.notify_all();
            changed_.wait(lock, stopped);
            break;
        }
        queue_.push_back(std::move(set));
        queued_++;
        if (queue_.size() > kQueueLength) {
            queue_.pop_front();
            discarded_++;
        }
        changed_.notify_all();
        Clock::duration gap = gap_after(n);
        next += gap;
        Clock::time_point now = Clock::now();
        if (next + gap < now) next = now;  // fell behind: go on from now, no burst
        // The next set's frames are made halfway to the time it is due, when
        // the program has most likely dealt with this one, so that neither
        // the set's age nor the program's work waits for them. A failure
        // shows when the set is made.
        if (changed_.wait_until(lock, next - gap / 2, stopped)) break;
        uint64_t upcoming = made_;
        lock.unlock();
        try {
            for (const StreamSpec& s : streams_) {
                s.source->prepare(frame_index(s, upcoming) % s.source->length());
            }
        } catch (const std::exception&) {
        }
        lock.lock();
    }
}

std::optional<FrameSetData> Stream::wait(uint32_t timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    bool more = settings_.framesets == 0 || made_ < (uint64_t)settings_.framesets;
    if (!settings_.realtime && more && !stopping_) return make_set(made_++);
    changed_.wait_until(lock, deadline,
                        [this] { return stopping_ || !queue_.empty() || !failure_.empty(); });
    if (!failure_.empty()) throw std::runtime_error(failure_);
    if (stopping_ || queue_.empty()) return std::nullopt;
    FrameSetData set = std::move(queue_.front());
    queue_.pop_front();
    return set;
}

}  // namespace sim
