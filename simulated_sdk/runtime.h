// The state of the simulated SDK behind its C interface, one for the process:
// the scenario, every handle and error object given out, the call trace, the
// call counts for fault injection and the frame statistics.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "handles.h"
#include "recording.h"
#include "scenario.h"
#include "stats.h"

struct vt_error {
    std::string function;
    std::string args;
    std::string message;
    vt_exception_type type;
};

namespace sim {

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

    // add() files the object under a new id, and handle_of() gives that id
    // out as the handle: not the object's address, but a marker byte at the
    // top, a serial number that is never used twice, and the kind. Every
    // handle that comes back is therefore looked up (find) and never
    // followed, so a null, foreign, released or wrong-kind handle fails its
    // call with an error that says which, where a plain pointer would have
    // the SDK read freed or unrelated memory. A released handle is never
    // taken for a newer object that got the same address, and a program that
    // follows a handle as a pointer does not reach the SDK's objects.
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
    std::string trace_path_;
    bool trace_lines_lost_ = false;  // said once on standard error
    std::string stats_path_;
    std::unordered_map<const vt_error*, std::unique_ptr<vt_error>> errors_;  // never released
};

}  // namespace sim
