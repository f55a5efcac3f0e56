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
};

// The synthetic scene in one stream's format and size. Colour: a gradient with
// a moving ball and a frame counter. Depth, in millimetres: a tilted plane
// from 600 to 1000 mm, a moving sphere in front of it at 300 to 420 mm, and a
// few pixels without data (0). Each frame of the loop is made once, the
// first time it is needed, and then reused.
class SceneSource : public FrameSource {
  public:
    static constexpr size_t kLoopLength = 60;
    SceneSource(vt_sensor_type sensor, const Profile& profile, const JpegStyle& style);
    size_t length() const override { return kLoopLength; }
    std::shared_ptr<const Bytes> frame(size_t index) override;

  private:
    vt_sensor_type sensor_;
    Profile profile_;
    JpegStyle style_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<const Bytes>> loop_;
};

}  // namespace sim
