#include "runtime.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "files.h"

namespace sim {

namespace {

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::context:
            return "context";
        case Kind::device_list:
            return "device_list";
        case Kind::device:
            return "device";
        case Kind::device_info:
            return "device_info";
        case Kind::sensor_list:
            return "sensor_list";
        case Kind::pipeline:
            return "pipeline";
        case Kind::config:
            return "config";
        case Kind::profile:
            return "profile";
        case Kind::frameset:
            return "frameset";
        case Kind::frame:
            return "frame";
    }
    return "unknown";
}

}  // namespace

Runtime& Runtime::get() {
    // Never destroyed: a producer thread may still run while the process exits.
    static Runtime* runtime = new Runtime();
    return *runtime;
}

Runtime::Runtime() {
    reset();
}

void Runtime::reset() {
    for (auto& entry : handles_) {
        if (auto* p = dynamic_cast<PipelineObj*>(entry.second.get()); p && p->stream) {
            p->stream->stop();
        }
    }
    handles_.clear();
    ids_.clear();
    calls_.clear();
    stats = Stats();
    config_error.clear();
    recording.reset();
    if (trace_fd_ >= 0) close(trace_fd_);
    trace_fd_ = -1;

    try {
        scenario = load_scenario();
    } catch (const ScenarioError& e) {
        scenario = default_scenario();
        config_error = e.what();
    }
    if (config_error.empty() && !scenario.stream.source.empty()) {
        // Unless the scenario names the profiles it was recorded with, the
        // profiles take the recording's sizes.
        try {
            auto r = std::make_shared<const Recording>(open_recording(scenario.stream.source));
            for (Device& d : scenario.devices) {
                if (scenario.stream.has_recorded) continue;
                d.color_profiles =
                    recorded_profiles(d.color_profiles, r->color->width(), r->color->height());
                d.depth_profiles =
                    recorded_profiles(d.depth_profiles, r->depth->width(), r->depth->height());
            }
            recording = std::move(r);
        } catch (const RecordingError& e) {
            config_error = e.what();
        } catch (const std::bad_alloc&) {
            config_error =
                "recording '" + scenario.stream.source + "': there is not enough memory to read it";
        }
    }
    const char* trace_path = getenv("VANTRA_SIM_TRACE");
    trace_path_ = trace_path != nullptr ? trace_path : "";
    trace_lines_lost_ = false;
    if (!trace_path_.empty()) {
        trace_fd_ = open_output_file(trace_path_, O_WRONLY | O_CREAT | O_APPEND);
        if (trace_fd_ < 0 && config_error.empty()) {
            config_error =
                "trace file '" + trace_path_ + "': " + output_failure(trace_path_, errno);
        }
    }
    // An interrupted recording plays all the same; the trace says so, and
    // standard error too when whole lines of its list are dropped.
    if (recording && !recording->note.empty()) trace("# " + recording->note);
    if (recording && !recording->warning.empty()) warn(recording->warning);
    const char* stats_path = getenv("VANTRA_SIM_STATS");
    stats_path_ = stats_path != nullptr ? stats_path : "";
}

void Runtime::trace(const std::string& line) {
    if (trace_fd_ < 0) return;
    // One write per line, straight to the file: the trace stays whole when the
    // process ends without flushing anything.
    std::string text = line + "\n";
    ssize_t written = ::write(trace_fd_, text.data(), text.size());
    if (written < 0 && errno == EAGAIN && !trace_lines_lost_) {
        trace_lines_lost_ = true;
        warn("trace file '" + trace_path_ + "': " + output_failure(trace_path_, errno) +
             "; lines are left out of the trace");
    }
}

std::string Runtime::describe(const void* handle) const {
    if (handle == nullptr) return "null";
    uintptr_t id = (uintptr_t)handle;
    auto it = handles_.find(id);
    if (it != handles_.end()) {
        if (auto* p = dynamic_cast<const ProfileObj*>(it->second.get())) return p->label;
        return kind_name(it->second->kind);
    }
    if ((id & ~((uintptr_t)0xff << 56)) != 0 && (id >> 56) == (kMarker >> 56)) {
        return kind_name((Kind)((id >> 4) & 0xf));
    }
    return "unknown";
}

const Fault* Runtime::count_call(const std::string& function) {
    int64_t n = ++calls_[function];
    for (const Fault& f : scenario.faults) {
        if (f.call == function && f.nth == n) return &f;
    }
    return nullptr;
}

Object* Runtime::find(const void* handle, Kind expected, std::string& why) const {
    std::string want = kind_name(expected);
    if (handle == nullptr) {
        why = "the " + want + " handle is null";
        return nullptr;
    }
    uintptr_t id = (uintptr_t)handle;
    auto it = handles_.find(id);
    if (it != handles_.end()) {
        if (it->second->kind == expected) return it->second.get();
        why = "expected a " + want + " handle, got a " + kind_name(it->second->kind) + " handle";
        return nullptr;
    }
    uint64_t serial = (id >> 8) & 0xffffffffffffULL;
    Kind kind = (Kind)((id >> 4) & 0xf);
    bool ours = (id >> 56) == (kMarker >> 56) && (id & 0xf) == 0 && serial != 0 &&
                serial < next_serial_ && kind >= Kind::context && kind <= Kind::frame;
    if (ours) {
        why = "the " + std::string(kind_name(kind)) + " handle has already been released";
    } else {
        why = "the " + want + " handle is not one that this SDK gave out";
    }
    return nullptr;
}

void Runtime::remove(const Object* object) {
    auto it = ids_.find(object);
    if (it == ids_.end()) return;
    handles_.erase(it->second);
    ids_.erase(it);
}

vt_frame* Runtime::add_frame(std::shared_ptr<FrameData> data) {
    auto frame = std::make_unique<FrameObj>();
    frame->data = std::move(data);
    stats.frames_extracted++;
    stats.frames_alive++;
    return handle_of<vt_frame>(add(std::move(frame)));
}

void Runtime::write_stats() const {
    if (stats_path_.empty()) return;
    int fd = open_output_file(stats_path_, O_WRONLY | O_CREAT | O_TRUNC);
    bool written = fd >= 0 && write_all(fd, stats.json());
    int failure = errno;
    if (fd >= 0) close(fd);
    if (!written) {
        warn("statistics file '" + stats_path_ + "': " + output_failure(stats_path_, failure) +
             "; the statistics are not written");
    }
}

vt_error* Runtime::new_error(vt_error error) {
    auto owned = std::make_unique<vt_error>(std::move(error));
    vt_error* raw = owned.get();
    errors_[raw] = std::move(owned);
    return raw;
}

}  // namespace sim
