// The exported C functions of the simulated Camera SDK.
#include "vantra_sdk.h"
#include "vantra_sim.h"

#include <cstring>
#include <type_traits>

#include "call.h"
#include "recording_format.h"

using namespace sim;

namespace {

const Device& device(const Runtime& rt, size_t index) {
    return rt.scenario.devices.at(index);
}

// The common shape of a call on one handle: check it, then run the body.
template <class T, class R, class Body>
R on(const char* function, vt_error** error, const void* handle, R fallback, Body body) {
    Call call(function, error, {handle});
    if (call.failed()) return fallback;
    T* object = call.get<T>(handle);
    if (object == nullptr) return fallback;
    return body(call, *object);
}

const char* text_of(const char* function, vt_device_info* info, vt_error** error,
                    const std::string Device::*field) {
    return on<DeviceInfoObj>(
        function, error, info, (const char*)nullptr,
        [&](Call& call, DeviceInfoObj& i) { return (device(call.rt, i.index).*field).c_str(); });
}

template <class R>
R frame_value(const char* function, vt_frame* frame, vt_error** error, R FrameData::*field) {
    return on<FrameObj>(function, error, frame, R{},
                        [&](Call&, FrameObj& f) { return (*f.data).*field; });
}

vt_frame* frame_of(const char* function, vt_frame* frame_set, vt_error** error,
                   vt_frame_type type) {
    return on<FrameSetObj>(function, error, frame_set, (vt_frame*)nullptr,
                           [&](Call& call, FrameSetObj& set) -> vt_frame* {
                               for (const auto& f : set.frames) {
                                   if (f->type == type) return call.rt.add_frame(f);
                               }
                               return nullptr;
                           });
}

uint32_t profile_value(const char* function, vt_stream_profile* profile, vt_error** error,
                       uint32_t Profile::*field) {
    return on<ProfileObj>(function, error, profile, 0u,
                          [&](Call&, ProfileObj& p) { return p.profile.*field; });
}

const char* error_field(const vt_error* error, const std::string vt_error::*field,
                        const char* otherwise) {
    Runtime& rt = Runtime::get();
    std::lock_guard<std::mutex> lock(rt.mutex);
    return rt.is_error(error) ? (error->*field).c_str() : otherwise;
}

// The recording's frames for an enabled stream, or null for the synthetic
// scene. A recording holds JPEG colour and 16-bit depth, and plays only in
// formats that carry them as they are; for another format, or a profile other
// than the one the scenario says was recorded, the call fails.
std::shared_ptr<RecordedFrames> recorded_source(Call& call, const ProfileObj& stream) {
    const Recording* r = call.rt.recording.get();
    if (r == nullptr) return nullptr;
    const StreamSettings& settings = call.rt.scenario.stream;
    vt_format f = stream.profile.format;
    bool color = stream.sensor == VT_SENSOR_COLOR;
    if (!color && stream.sensor != VT_SENSOR_DEPTH) return nullptr;
    if (settings.has_recorded) {
        const Profile& recorded = color ? settings.recorded_color : settings.recorded_depth;
        if (!(stream.profile == recorded)) {
            call.fail(VT_EXCEPTION_INVALID_ARGUMENT,
                      "the recording '" + r->folder + "' holds " + sensor_name(stream.sensor) +
                          " as " + profile_text(recorded) + " only, and the enabled profile " +
                          stream.label + " is " + profile_text(stream.profile));
            return nullptr;
        }
    }
    std::string problem;
    if (color) {
        if (f == VT_FORMAT_MJPG) return r->color;
        problem = "plays colour as MJPG only";
    } else {
        if (vtrec::holds_16bit_depth(f)) return r->depth;
        problem = "plays depth in a 16-bit format only (Y16, Y12, YUYV, YUY2)";
    }
    call.fail(VT_EXCEPTION_INVALID_ARGUMENT, "the recording '" + r->folder + "' " + problem +
                                                 ", and the enabled profile " + stream.label +
                                                 " is " + format_name(f));
    return nullptr;
}

void stop_stream(Runtime& rt, PipelineObj& pipeline) {
    pipeline.stream->stop();
    rt.stats.framesets_discarded += pipeline.stream->discarded();
    pipeline.stream.reset();
}

}  // namespace

extern "C" {

int vt_get_major_version(void) {
    Call call(__func__, nullptr, {});
    return call.rt.scenario.version[0];
}

int vt_get_minor_version(void) {
    Call call(__func__, nullptr, {});
    return call.rt.scenario.version[1];
}

int vt_get_patch_version(void) {
    Call call(__func__, nullptr, {});
    return call.rt.scenario.version[2];
}

vt_context* vt_create_context(vt_error** error) {
    Call call(__func__, error, {});
    if (call.failed()) return nullptr;
    return call.rt.handle_of<vt_context>(call.rt.add(std::make_unique<ContextObj>()));
}

vt_pipeline* vt_create_pipeline(vt_error** error) {
    Call call(__func__, error, {});
    if (call.failed()) return nullptr;
    if (call.rt.scenario.devices.empty()) {
        call.fail(VT_EXCEPTION_NO_DEVICE, "no camera is connected");
        return nullptr;
    }
    return call.rt.handle_of<vt_pipeline>(call.rt.add(std::make_unique<PipelineObj>()));
}

vt_config* vt_create_config(vt_error** error) {
    Call call(__func__, error, {});
    if (call.failed()) return nullptr;
    return call.rt.handle_of<vt_config>(call.rt.add(std::make_unique<ConfigObj>()));
}

vt_device_list* vt_query_device_list(vt_context* context, vt_error** error) {
    return on<ContextObj>(
        __func__, error, context, (vt_device_list*)nullptr, [](Call& call, ContextObj&) {
            auto list = std::make_unique<DeviceListObj>();
            list->count = call.rt.scenario.devices.size();
            return call.rt.handle_of<vt_device_list>(call.rt.add(std::move(list)));
        });
}

int vt_device_list_device_count(vt_device_list* list, vt_error** error) {
    return on<DeviceListObj>(__func__, error, list, 0,
                             [](Call&, DeviceListObj& l) { return (int)l.count; });
}

vt_device* vt_get_device(vt_device_list* list, uint32_t index, vt_error** error) {
    Call call(__func__, error, {list, index});
    if (call.failed()) return nullptr;
    DeviceListObj* l = call.get<DeviceListObj>(list);
    if (l == nullptr) return nullptr;
    if (index >= l->count) {
        call.fail(VT_EXCEPTION_INVALID_ARGUMENT, "device index " + std::to_string(index) +
                                                     " is out of range: the list holds " +
                                                     std::to_string(l->count) + " devices");
        return nullptr;
    }
    auto dev = std::make_unique<DeviceObj>();
    dev->index = index;
    return call.rt.handle_of<vt_device>(call.rt.add(std::move(dev)));
}

vt_device_info* vt_device_get_device_info(vt_device* dev, vt_error** error) {
    return on<DeviceObj>(__func__, error, dev, (vt_device_info*)nullptr,
                         [](Call& call, DeviceObj& d) {
                             auto info = std::make_unique<DeviceInfoObj>();
                             info->index = d.index;
                             return call.rt.handle_of<vt_device_info>(call.rt.add(std::move(info)));
                         });
}

vt_sensor_list* vt_device_get_sensor_list(vt_device* dev, vt_error** error) {
    return on<DeviceObj>(__func__, error, dev, (vt_sensor_list*)nullptr,
                         [](Call& call, DeviceObj& d) {
                             auto list = std::make_unique<SensorListObj>();
                             list->index = d.index;
                             return call.rt.handle_of<vt_sensor_list>(call.rt.add(std::move(list)));
                         });
}

const char* vt_device_info_name(vt_device_info* info, vt_error** error) {
    return text_of(__func__, info, error, &Device::name);
}

const char* vt_device_info_uid(vt_device_info* info, vt_error** error) {
    return text_of(__func__, info, error, &Device::uid);
}

const char* vt_device_info_firmware_version(vt_device_info* info, vt_error** error) {
    return text_of(__func__, info, error, &Device::firmware_version);
}

const char* vt_device_info_serial_number(vt_device_info* info, vt_error** error) {
    return text_of(__func__, info, error, &Device::serial_number);
}

int vt_device_info_pid(vt_device_info* info, vt_error** error) {
    return on<DeviceInfoObj>(__func__, error, info, 0, [](Call& call, DeviceInfoObj& i) {
        return device(call.rt, i.index).pid;
    });
}

int vt_device_info_vid(vt_device_info* info, vt_error** error) {
    return on<DeviceInfoObj>(__func__, error, info, 0, [](Call& call, DeviceInfoObj& i) {
        return device(call.rt, i.index).vid;
    });
}

int vt_sensor_list_get_sensor_count(vt_sensor_list* list, vt_error** error) {
    return on<SensorListObj>(__func__, error, list, 0, [](Call& call, SensorListObj& l) {
        return (int)device(call.rt, l.index).sensors.size();
    });
}

vt_sensor_type vt_sensor_list_get_sensor_type(vt_sensor_list* list, uint32_t index,
                                              vt_error** error) {
    Call call(__func__, error, {list, index});
    if (call.failed()) return VT_SENSOR_UNKNOWN;
    SensorListObj* l = call.get<SensorListObj>(list);
    if (l == nullptr) return VT_SENSOR_UNKNOWN;
    const auto& sensors = device(call.rt, l->index).sensors;
    if (index >= sensors.size()) {
        call.fail(VT_EXCEPTION_INVALID_ARGUMENT, "sensor index " + std::to_string(index) +
                                                     " is out of range: the list holds " +
                                                     std::to_string(sensors.size()) + " sensors");
        return VT_SENSOR_UNKNOWN;
    }
    return sensors[index];
}

vt_stream_profile** vt_pipeline_get_stream_profiles(vt_pipeline* pipeline,
                                                    vt_sensor_type sensor_type, uint32_t* count,
                                                    vt_error** error) {
    Call call(__func__, error, {pipeline, sensor_type, Arg::literal(count ? "&count" : "null")});
    if (call.failed()) return nullptr;
    PipelineObj* p = call.get<PipelineObj>(pipeline);
    if (p == nullptr) return nullptr;
    if (count == nullptr) {
        call.fail(VT_EXCEPTION_INVALID_ARGUMENT, "the count pointer is null");
        return nullptr;
    }
    auto& list = p->profile_lists[sensor_type];
    if (list.empty()) {
        const Device& d = device(call.rt, p->device);
        const std::vector<Profile>* offered = sensor_type == VT_SENSOR_DEPTH   ? &d.depth_profiles
                                              : sensor_type == VT_SENSOR_COLOR ? &d.color_profiles
                                                                               : nullptr;
        for (size_t i = 0; offered != nullptr && i < offered->size(); i++) {
            auto profile = std::make_unique<ProfileObj>();
            profile->sensor = sensor_type;
            profile->profile = (*offered)[i];
            profile->label = std::string(sensor_name(sensor_type)) + "[" + std::to_string(i) + "]";
            list.push_back(call.rt.handle_of<vt_stream_profile>(call.rt.add(std::move(profile))));
        }
    }
    *count = (uint32_t)list.size();
    return list.empty() ? nullptr : list.data();
}

void vt_pipeline_disable_frame_sync(vt_pipeline* pipeline, vt_error** error) {
    on<PipelineObj>(__func__, error, pipeline, 0, [](Call&, PipelineObj& p) {
        p.frame_sync = false;
        return 0;
    });
}

void vt_pipeline_start_with_config(vt_pipeline* pipeline, vt_config* config, vt_error** error) {
    Call call(__func__, error, {pipeline, config});
    if (call.failed()) return;
    PipelineObj* p = call.get<PipelineObj>(pipeline);
    if (p == nullptr) return;
    ConfigObj* c = call.get<ConfigObj>(config);
    if (c == nullptr) return;
    if (p->stream) {
        call.fail(VT_EXCEPTION_INVALID_STATE, "the pipeline has already been started");
        return;
    }
    if (c->streams.empty()) {
        call.fail(VT_EXCEPTION_INVALID_ARGUMENT, "the configuration enables no stream");
        return;
    }
    std::vector<StreamSpec> streams;
    std::vector<std::chrono::microseconds> times;  // the recording's, when a stream plays it
    for (const ProfileObj& s : c->streams) {
        Profile profile = s.profile;
        std::shared_ptr<FrameSource> source;
        if (std::shared_ptr<RecordedFrames> recorded = recorded_source(call, s)) {
            // The frames are as big as the recording's pictures.
            profile.width = recorded->width();
            profile.height = recorded->height();
            source = std::move(recorded);
            times = call.rt.recording->times;
        } else if (call.failed()) {
            return;
        } else {
            source = std::make_shared<SceneSource>(
                s.sensor, s.profile, call.rt.scenario.stream.color, call.rt.scenario.scene);
        }
        streams.push_back({s.sensor, profile, std::move(source)});
    }
    p->stream = std::make_shared<Stream>(std::move(streams), p->frame_sync, call.rt.scenario.stream,
                                         std::move(times));
    if (p->stream->fast_gaps() > 0) {
        char gap[32];
        snprintf(gap, sizeof gap, "%.1f ms",
                 std::chrono::duration<double, std::milli>(p->stream->period()).count());
        call.rt.trace("# recording '" + call.rt.recording->folder +
                      "': " + std::to_string(p->stream->fast_gaps()) + " of the gaps in " +
                      vtrec::kTimesFile +
                      " are shorter than the profiles' rate allows; they play as " + gap);
    }
}

vt_frame* vt_pipeline_wait_for_frames(vt_pipeline* pipeline, uint32_t timeout_ms,
                                      vt_error** error) {
    Call call(__func__, error, {pipeline, timeout_ms});
    if (call.failed()) return nullptr;
    PipelineObj* p = call.get<PipelineObj>(pipeline);
    if (p == nullptr) return nullptr;
    if (!p->stream) {
        call.fail(VT_EXCEPTION_INVALID_STATE, "the pipeline has not been started");
        return nullptr;
    }
    // Other threads call the SDK while this one waits (see Call::unlock):
    // from here on only the stream is used, which the wait holds itself,
    // never p, whose pipeline another thread may release meanwhile.
    std::shared_ptr<Stream> stream = p->stream;
    std::optional<FrameSetData> frames;
    std::string failure;
    call.unlock();
    try {
        frames = stream->wait(timeout_ms);
    } catch (const std::exception& e) {
        failure = e.what();
    }
    call.relock();
    if (!failure.empty()) {
        call.fail(VT_EXCEPTION_IO, failure);
        return nullptr;
    }
    if (!frames) return nullptr;
    auto set = std::make_unique<FrameSetObj>();
    set->frames = std::move(*frames);
    Stats& stats = call.rt.stats;
    stats.framesets_delivered++;
    stats.framesets_alive_peak = std::max(stats.framesets_alive_peak, ++stats.framesets_alive);
    return call.rt.handle_of<vt_frame>(call.rt.add(std::move(set)));
}

void vt_pipeline_stop(vt_pipeline* pipeline, vt_error** error) {
    on<PipelineObj>(__func__, error, pipeline, 0, [](Call& call, PipelineObj& p) {
        if (!p.stream) {
            call.fail(VT_EXCEPTION_INVALID_STATE, "the pipeline is not started");
        } else {
            stop_stream(call.rt, p);
        }
        return 0;
    });
}

void vt_delete_pipeline(vt_pipeline* pipeline, vt_error** error) {
    on<PipelineObj>(__func__, error, pipeline, 0, [](Call& call, PipelineObj& p) {
        if (p.stream) stop_stream(call.rt, p);
        for (auto& list : p.profile_lists) {
            for (vt_stream_profile* profile : list.second) {
                std::string why;
                call.rt.remove(call.rt.find(profile, Kind::profile, why));
            }
        }
        call.rt.remove(&p);
        call.rt.write_stats();
        return 0;
    });
}

void vt_config_enable_stream(vt_config* config, vt_stream_profile* profile, vt_error** error) {
    Call call(__func__, error, {config, profile});
    if (call.failed()) return;
    ConfigObj* c = call.get<ConfigObj>(config);
    if (c == nullptr) return;
    ProfileObj* p = call.get<ProfileObj>(profile);
    if (p == nullptr) return;
    for (const ProfileObj& s : c->streams) {
        if (s.sensor == p->sensor) {
            call.fail(VT_EXCEPTION_INVALID_STATE, std::string("a ") + sensor_name(p->sensor) +
                                                      " stream is already enabled (" + s.label +
                                                      ")");
            return;
        }
    }
    c->streams.push_back(*p);
}

vt_format vt_stream_profile_format(vt_stream_profile* profile, vt_error** error) {
    return on<ProfileObj>(__func__, error, profile, VT_FORMAT_YUYV,
                          [](Call&, ProfileObj& p) { return p.profile.format; });
}

uint32_t vt_stream_profile_width(vt_stream_profile* profile, vt_error** error) {
    return profile_value(__func__, profile, error, &Profile::width);
}

uint32_t vt_stream_profile_height(vt_stream_profile* profile, vt_error** error) {
    return profile_value(__func__, profile, error, &Profile::height);
}

uint32_t vt_stream_profile_fps(vt_stream_profile* profile, vt_error** error) {
    return profile_value(__func__, profile, error, &Profile::fps);
}

vt_frame* vt_frame_set_color_frame(vt_frame* frame_set, vt_error** error) {
    return frame_of(__func__, frame_set, error, VT_FRAME_COLOR);
}

vt_frame* vt_frame_set_depth_frame(vt_frame* frame_set, vt_error** error) {
    return frame_of(__func__, frame_set, error, VT_FRAME_DEPTH);
}

void vt_delete_frame_set(vt_frame* frame_set, vt_error** error) {
    on<FrameSetObj>(__func__, error, frame_set, 0, [](Call& call, FrameSetObj& set) {
        call.rt.remove(&set);
        call.rt.stats.framesets_released++;
        call.rt.stats.framesets_alive--;
        return 0;
    });
}

vt_frame_type vt_frame_get_type(vt_frame* frame, vt_error** error) {
    return frame_value(__func__, frame, error, &FrameData::type);
}

vt_format vt_frame_format(vt_frame* frame, vt_error** error) {
    return frame_value(__func__, frame, error, &FrameData::format);
}

uint32_t vt_frame_width(vt_frame* frame, vt_error** error) {
    return frame_value(__func__, frame, error, &FrameData::width);
}

uint32_t vt_frame_height(vt_frame* frame, vt_error** error) {
    return frame_value(__func__, frame, error, &FrameData::height);
}

uint32_t vt_frame_data_size(vt_frame* frame, vt_error** error) {
    return frame_value(__func__, frame, error, &FrameData::size);
}

void* vt_frame_data(vt_frame* frame, vt_error** error) {
    return on<FrameObj>(__func__, error, frame, (void*)nullptr, [](Call& call, FrameObj& f) {
        FrameData& d = *f.data;
        if (!d.data_fetched) {
            d.data_fetched = true;
            Stats& stats = call.rt.stats;
            stats.frames_read++;
            std::chrono::duration<double, std::milli> age = Clock::now() - d.produced;
            stats.add_latency(age.count());
            if (d.set && !d.set->read) {
                d.set->read = true;
                stats.framesets_read++;
            }
        }
        return (void*)d.data;
    });
}

void vt_delete_frame(vt_frame* frame, vt_error** error) {
    on<FrameObj>(__func__, error, frame, 0, [](Call& call, FrameObj& f) {
        call.rt.remove(&f);
        call.rt.stats.frames_released++;
        call.rt.stats.frames_alive--;
        return 0;
    });
}

const char* vt_error_function(const vt_error* error) {
    return error_field(error, &vt_error::function, "");
}

const char* vt_error_args(const vt_error* error) {
    return error_field(error, &vt_error::args, "");
}

const char* vt_error_message(const vt_error* error) {
    return error_field(error, &vt_error::message, "not an error object of this SDK");
}

vt_exception_type vt_error_exception_type(const vt_error* error) {
    Runtime& rt = Runtime::get();
    std::lock_guard<std::mutex> lock(rt.mutex);
    return rt.is_error(error) ? error->type : VT_EXCEPTION_UNKNOWN;
}

}  // extern "C"

// For the tests and fuzz targets only (vantra_sim.h); not exported.
namespace sim {

vt_frame* make_frame(vt_frame_type type, vt_format format, uint32_t width, uint32_t height,
                     const void* data, uint32_t size) {
    Runtime& rt = Runtime::get();
    std::lock_guard<std::mutex> lock(rt.mutex);
    auto d = std::make_shared<FrameData>();
    d->type = type;
    d->format = format;
    d->width = width;
    d->height = height;
    d->size = size;
    if (data != nullptr) {
        d->bytes = std::make_shared<Bytes>((const uint8_t*)data, (const uint8_t*)data + size);
        d->data = d->bytes->data();
    }
    d->produced = Clock::now();
    return rt.add_frame(std::move(d));
}

void reset() {
    Runtime& rt = Runtime::get();
    std::lock_guard<std::mutex> lock(rt.mutex);
    rt.reset();
}

uint64_t framesets_queued(vt_pipeline* pipeline) {
    Runtime& rt = Runtime::get();
    std::lock_guard<std::mutex> lock(rt.mutex);
    std::string why;
    auto* p = static_cast<PipelineObj*>(rt.find(pipeline, Kind::pipeline, why));
    return p != nullptr && p->stream ? p->stream->queued() : 0;
}

}  // namespace sim

// Each entry of functions.def says rightly whether the function takes an
// error slot: whether its last parameter is a vt_error**.
namespace {

template <class R, class... A>
constexpr bool has_error_slot(R (*)(A...)) {
    const bool last_is_slot[] = {false, std::is_same_v<A, vt_error**>...};
    return last_is_slot[sizeof...(A)];
}

#define VT_FUNCTION(name, error_slot)                  \
    static_assert(has_error_slot(&name) == error_slot, \
                  #name ": functions.def says otherwise of its error slot");
#include "functions.def"

}  // namespace
