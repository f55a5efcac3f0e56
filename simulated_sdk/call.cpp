#include "call.h"

namespace sim {

Call::Call(const char* function, vt_error** slot, std::initializer_list<Arg> args)
    : rt(Runtime::get()), lock_(rt.mutex), function_(function), slot_(slot) {
    for (const Arg& a : args) {
        if (!args_.empty()) args_ += ", ";
        args_ += a.is_handle ? rt.describe(a.handle) : a.text;
    }
    rt.trace(std::string(function) + "(" + args_ + ")");
    if (slot_ != nullptr) *slot_ = nullptr;
    const Fault* fault = rt.count_call(function);
    if (!rt.config_error.empty()) {
        fail(VT_EXCEPTION_CONFIGURATION, rt.config_error);
    } else if (fault != nullptr) {
        std::string args_text = fault->has_args ? fault->args : args_;
        if (slot_ != nullptr)
            *slot_ = rt.new_error({function_, args_text, fault->message, fault->type});
        failed_ = true;
    }
}

void Call::fail(vt_exception_type type, const std::string& message) {
    if (slot_ != nullptr) *slot_ = rt.new_error({function_, args_, message, type});
    failed_ = true;
}

}  // namespace sim
