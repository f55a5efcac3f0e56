// What stands behind each handle that the SDK gives out: one object per
// handle, of one of ten kinds. The handles themselves, and how they are told
// apart, are the runtime's (runtime.h).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "scenario.h"
#include "stream.h"

namespace sim {

enum class Kind : uint8_t {
    context = 1,
    device_list,
    device,
    device_info,
    sensor_list,
    pipeline,
    config,
    profile,
    frameset,
    frame,
};

struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    const Kind kind;
};

template <Kind K>
struct Typed : Object {
    static constexpr Kind kKind = K;
    Typed() : Object(K) {}
};

struct ContextObj : Typed<Kind::context> {};
struct DeviceListObj : Typed<Kind::device_list> {
    size_t count = 0;
};
struct DeviceObj : Typed<Kind::device> {
    size_t index = 0;
};
struct DeviceInfoObj : Typed<Kind::device_info> {
    size_t index = 0;
};
struct SensorListObj : Typed<Kind::sensor_list> {
    size_t index = 0;
};
struct ProfileObj : Typed<Kind::profile> {
    vt_sensor_type sensor = VT_SENSOR_UNKNOWN;
    Profile profile{};
    std::string label;  // "depth[3]": its list and its place there
};
struct ConfigObj : Typed<Kind::config> {
    std::vector<ProfileObj> streams;
};
struct PipelineObj : Typed<Kind::pipeline> {
    size_t device = 0;
    std::map<uint32_t, std::vector<vt_stream_profile*>> profile_lists;  // by sensor type
    bool frame_sync = true;
    std::shared_ptr<Stream> stream;  // set while started
};
struct FrameSetObj : Typed<Kind::frameset> {
    FrameSetData frames;
};
struct FrameObj : Typed<Kind::frame> {
    std::shared_ptr<FrameData> data;
};

}  // namespace sim
