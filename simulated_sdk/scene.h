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
// sees the same field of view. A loop whose frames do not change is one frame
// long; one whose depth noise alone changes has as many frames as are kept.
//
// What a source keeps stays within kKeptBytes at any size: the fixed part of
// the picture, made for at most kLayerPixels pixels (a larger picture repeats
// them), and the frames of the loop that fit beside it, each made the first
// time it is needed. A frame that does not fit is made each time it is due
// (made ahead by prepare, it is kept until it is asked for).
class SceneSource : public FrameSource {
  public:
    static constexpr size_t kLoopLength = 60;
    static constexpr size_t kKeptBytes = size_t(64) << 20;
    static constexpr size_t kLayerPixels = size_t(3840) * 2160;
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
    uint32_t layer_width_, layer_height_;  // the pixels the fixed part is made for
    std::mutex mutex_;
    std::shared_ptr<const SceneLayer> layer_;  // the fixed part of the picture
    std::vector<std::shared_ptr<const Bytes>> loop_;
    size_t kept_ = 0;  // bytes of layer_ and loop_
    size_t ahead_index_ = 0;
    std::shared_ptr<const Bytes> ahead_;  // a frame made ahead that is not kept
};

}  // namespace sim
