#include "profile_choice.h"

#include "check_error.h"

vt_stream_profile* choose_profile(vt_stream_profile** profiles, uint32_t count,
                                  const std::vector<vt_format>& formats) {
    vt_error* error = nullptr;
    for (uint32_t i = 0; i < count; i++) {
        vt_format format = vt_stream_profile_format(profiles[i], &error);
        check_error(error);
        uint32_t fps = vt_stream_profile_fps(profiles[i], &error);
        check_error(error);
        for (vt_format accepted : formats) {
            if (format == accepted && fps == 30) return profiles[i];
        }
    }
    return profiles[0];
}
