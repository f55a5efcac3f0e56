// The pictures of the simulated camera: a synthetic scene, or frames recorded
// to files, delivered in a loop.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scenario.h"

namespace sim {

using Bytes = std::vector<uint8_t>;

// Encodes a picture of 8-bit RGB pixels as a baseline JPEG in the style of a
// USB camera's MJPEG frame (see JpegStyle).
Bytes encode_jpeg(const uint8_t* rgb, uint32_t width, uint32_t height, const JpegStyle& style);

// The frames of one stream, looped: frame n of the stream is frame(n % length()).
class FrameSource {
  public:
    virtual ~FrameSource() = default;
    virtual size_t length() const = 0;
    // The bytes of one frame of the loop; throws std::runtime_error when they
    // cannot be had.
    virtual std::shared_ptr<const Bytes> frame(size_t index) = 0;
};

struct SceneLayer;

// The built-in scene (simulated_sdk/README.md gives its geometry) in one
// stream's format and size: the colour picture, or the depth in millimetres
// along the optical axis with a depth camera's holes and noise. Every size
// sees the same field of view. The loop's frames are made in order by a
// thread of the source's own ("vt-scene"), ahead of the time they are due;
// a frame that is needed before it is made is made by the caller. A loop
// whose frames do not change is one frame long.
class SceneSource : public FrameSource {
  public:
    static constexpr size_t kLoopLength = 60;
    SceneSource(vt_sensor_type sensor, const Profile& profile, const JpegStyle& style,
                const SceneSettings& scene);
    ~SceneSource() override;
    SceneSource(const SceneSource&) = delete;
    SceneSource& operator=(const SceneSource&) = delete;
    size_t length() const override { return loop_.size(); }
    std::shared_ptr<const Bytes> frame(size_t index) override;

  private:
    void make_ahead();
    std::shared_ptr<const Bytes> make(size_t index);

    vt_sensor_type sensor_;
    Profile profile_;
    JpegStyle style_;
    SceneSettings scene_;
    std::once_flag layer_once_;
    std::shared_ptr<const SceneLayer> layer_;  // the fixed part of the picture

    std::mutex mutex_;
    std::condition_variable made_;
    std::vector<std::shared_ptr<const Bytes>> loop_;
    std::vector<bool> busy_;  // being made
    bool stopping_ = false;
    std::thread ahead_;
};

}  // namespace sim
