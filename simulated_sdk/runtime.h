// The state of the simulated SDK behind its C interface: the scenario, every
// handle given out, the call trace, fault injection and the frame statistics.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "recording.h"
#include "scenario.h"
#include "stream.h"

struct vt_error {
    std::string function;
    std::string args;
    std::string message;
    vt_exception_type type;
};

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

// Counts of frames and frame sets, written as JSON when a pipeline is deleted.
struct Stats {
    uint64_t framesets_delivered = 0;
    uint64_t framesets_released = 0;
    uint64_t framesets_alive = 0;
    uint64_t framesets_alive_peak = 0;
    uint64_t framesets_read = 0;
    uint64_t framesets_discarded = 0;
    uint64_t frames_extracted = 0;
    uint64_t frames_released = 0;
    uint64_t frames_alive = 0;
    uint64_t frames_read = 0;
    std::vector<uint32_t> latency_bins;  // tenths of a millisecond, up to 2 s

    void add_latency(double ms);
    double latency_percentile(double p) const;
    std::string json() const;
};

// An argument as the trace and the error objects show it.
struct Arg {
    Arg(const void* h) : handle(h), is_handle(true) {}
    Arg(uint32_t n) : text(std::to_string(n)) {}
    static Arg literal(std::string t) {
        Arg a(0u);
        a.text = std::move(t);
        return a;
    }
    std::string text;
    const void* handle = nullptr;
    bool is_handle = false;
};

class Runtime {
  public:
    static Runtime& get();
    void reset();

    std::mutex mutex;
    Scenario scenario;
    std::string config_error;  // a bad scenario, recording or trace file: every call fails with it
    std::shared_ptr<const Recording> recording;  // set when the scenario names a stream.source
    Stats stats;

    void trace(const std::string& line);
    std::string describe(const void* handle) const;
    // Counts a call of the function; the fault that this call is to raise, if any.
    const Fault* count_call(const std::string& function);

    template <class T>
    T* add(std::unique_ptr<T> object) {
        T* raw = object.get();
        uintptr_t id = kMarker | (next_serial_++ << 8) | ((uintptr_t)T::kKind << 4);
        handles_[id] = std::move(object);
        ids_[raw] = id;
        return raw;
    }
    template <class Handle>
    Handle* handle_of(const Object* object) const {
        return reinterpret_cast<Handle*>(ids_.at(object));
    }
    // The object behind a handle, or a message saying why there is none.
    Object* find(const void* handle, Kind expected, std::string& why) const;
    void remove(const Object* object);

    vt_frame* add_frame(std::shared_ptr<FrameData> data);
    void write_stats() const;

    vt_error* new_error(vt_error error);
    bool is_error(const vt_error* error) const { return errors_.count(error) != 0; }

  private:
    Runtime();
    static constexpr uintptr_t kMarker = (uintptr_t)0x56 << 56;
    uint64_t next_serial_ = 1;
    std::unordered_map<uintptr_t, std::unique_ptr<Object>> handles_;
    std::unordered_map<const Object*, uintptr_t> ids_;
    std::unordered_map<std::string, int64_t> calls_;
    int trace_fd_ = -1;
    std::string stats_path_;
    std::unordered_map<const vt_error*, std::unique_ptr<vt_error>> errors_;  // never released
};

// One SDK call: holds the SDK's lock, writes the trace line, clears the error
// slot and raises a configuration error or an injected fault. The helpers
// fill the slot with an error naming the call.
class Call {
  public:
    Call(const char* function, vt_error** slot, std::initializer_list<Arg> args);
    bool failed() const { return failed_; }
    void fail(vt_exception_type type, const std::string& message);
    template <class T>
    T* get(const void* handle) {
        std::string why;
        Object* object = rt.find(handle, T::kKind, why);
        if (object == nullptr) fail(VT_EXCEPTION_INVALID_HANDLE, why);
        return static_cast<T*>(object);
    }
    void unlock() { lock_.unlock(); }
    void relock() { lock_.lock(); }

    Runtime& rt;

  private:
    std::unique_lock<std::mutex> lock_;
    const char* function_;
    vt_error** slot_;
    std::string args_;
    bool failed_ = false;
};

}  // namespace sim
