// One SDK call as every exported function makes it: the lock, the trace
// line, the error slot, configuration errors and injected faults, and the
// arguments as the trace and the error objects show them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <utility>

#include "runtime.h"

namespace sim {

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

// One SDK call: holds the SDK's lock, writes the trace line, clears the error
// slot and raises a configuration error or an injected fault. The helpers
// fill the slot with an error naming the call. The function is named by the
// exported function's own __func__, so that the trace, the error objects and
// the faults of a scenario (checked against functions.def) use its real name.
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
    // A wait for frames gives the lock up while it blocks, for up to its
    // timeout. The lock guards all of the SDK's state, and a program's other
    // threads go on calling the SDK during the wait: a viewer's processing
    // thread reads and releases the last frame set while its capture thread
    // waits for the next, and a stop from another thread wakes a waiting
    // pipeline. Held through the wait, the lock would stall those calls for
    // the whole wait, and a stop until the wait timed out. After relock() the
    // call may use only what it holds itself (the wait keeps its own reference
    // to the stream): meanwhile another thread may have released any handle,
    // the pipeline's included.
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
