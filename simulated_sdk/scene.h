// The pictures of the simulated camera: a synthetic scene, or frames recorded
// to files, delivered in a loop.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
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
    // Gets the frame ready before it is asked for, where that costs time.
    virtual void prepare(size_t /*index*/) {}
};

struct SceneLayer;

// The built-in scene (simulated_sdk/README.md gives its geometry) in one
// stream's format and size: the colour picture, or the depth in millimetres
// along the optical axis with a depth camera's holes and noise. Every size
// sees the same field of view. Each frame of the loop is made once, the first
// time it is needed, and then reused; a loop whose frames do not change is
// one frame long.
class SceneSource : public FrameSource {
  public:
    static constexpr size_t kLoopLength = 60;
    SceneSource(vt_sensor_type sensor, const Profile& profile, const JpegStyle& style,
                const SceneSettings& scene);
    size_t length() const override { return loop_.size(); }
    std::shared_ptr<const Bytes> frame(size_t index) override;
    void prepare(size_t index) override { frame(index); }

  private:
    std::shared_ptr<const Bytes> make(size_t index);

    vt_sensor_type sensor_;
    Profile profile_;
    JpegStyle style_;
    SceneSettings scene_;
    std::mutex mutex_;
    std::shared_ptr<const SceneLayer> layer_;  // the fixed part of the picture
    std::vector<std::shared_ptr<const Bytes>> loop_;
};

}  // namespace sim
