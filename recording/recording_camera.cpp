#include "recording_camera.h"

#include "recording_format.h"

namespace vtrec {

namespace {

// A code by the name that scenario files give it, or as a number.
template <size_t N>
json name_or_number(const Named (&names)[N], uint32_t value) {
    for (const Named& n : names) {
        if (n.value == value) return n.name;
    }
    return value;
}

std::string text_or_empty(const char* text) {
    return text != nullptr ? text : "";
}

}  // namespace

json describe_camera(vt_device* device, CheckError check) {
    vt_error* error = nullptr;
    json scenario, d;
    scenario["sdk_version"] = {vt_get_major_version(), vt_get_minor_version(),
                               vt_get_patch_version()};
    vt_device_info* info = vt_device_get_device_info(device, &error);
    check(error);
    d["name"] = text_or_empty(vt_device_info_name(info, &error));
    check(error);
    d["pid"] = vt_device_info_pid(info, &error);
    check(error);
    d["vid"] = vt_device_info_vid(info, &error);
    check(error);
    d["uid"] = text_or_empty(vt_device_info_uid(info, &error));
    check(error);
    d["firmware_version"] = text_or_empty(vt_device_info_firmware_version(info, &error));
    check(error);
    d["serial_number"] = text_or_empty(vt_device_info_serial_number(info, &error));
    check(error);
    vt_sensor_list* sensors = vt_device_get_sensor_list(device, &error);
    check(error);
    int count = vt_sensor_list_get_sensor_count(sensors, &error);
    check(error);
    d["sensors"] = json::array();
    for (int i = 0; i < count; i++) {
        d["sensors"].push_back(
            name_or_number(kSensors, vt_sensor_list_get_sensor_type(sensors, i, &error)));
        check(error);
    }
    scenario["devices"] = json::array({d});
    return scenario;
}

json describe_profile(vt_stream_profile* profile, CheckError check) {
    vt_error* error = nullptr;
    json p;
    p["format"] = name_or_number(kFormats, vt_stream_profile_format(profile, &error));
    check(error);
    p["width"] = vt_stream_profile_width(profile, &error);
    check(error);
    p["height"] = vt_stream_profile_height(profile, &error);
    check(error);
    p["fps"] = vt_stream_profile_fps(profile, &error);
    check(error);
    return p;
}

json describe_profiles(vt_stream_profile** profiles, uint32_t count, CheckError check) {
    json list = json::array();
    for (uint32_t i = 0; i < count; i++) list.push_back(describe_profile(profiles[i], check));
    return list;
}

std::string profile_text(const json& p) {
    std::string format =
        p["format"].is_string() ? p["format"].get<std::string>() : "format " + p["format"].dump();
    return format + " " + p["width"].dump() + "x" + p["height"].dump() + " at " + p["fps"].dump() +
           " fps";
}

std::string describe_recorded(json& scenario, vt_stream_profile* depth, vt_stream_profile* color,
                              CheckError check) {
    json d = describe_profile(depth, check), c = describe_profile(color, check);
    scenario["stream"] = {{"source", "."}, {"recorded", {{"depth", d}, {"color", c}}}};
    vt_error* error = nullptr;
    vt_format depth_format = vt_stream_profile_format(depth, &error);
    check(error);
    vt_format color_format = vt_stream_profile_format(color, &error);
    check(error);
    if (holds_16bit_depth(depth_format) && color_format == VT_FORMAT_MJPG) return "";
    return "the chosen streams are depth " + profile_text(d) + " and colour " + profile_text(c) +
           ", but a recording holds depth as 16-bit samples (Y16, Y12, YUYV, YUY2) and colour "
           "as MJPG";
}

std::string description_text(const json& scenario, bool& replaced) {
    replaced = false;
    try {
        return scenario.dump(2) + "\n";
    } catch (const json::type_error&) {
        replaced = true;
        return scenario.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    }
}

void queue_frames(Writer* writer, vt_frame* color, vt_frame* depth, int64_t microseconds,
                  CheckError check) {
    vt_error* error = nullptr;
    const void* color_data = vt_frame_data(color, &error);
    check(error);
    uint32_t color_size = vt_frame_data_size(color, &error);
    check(error);
    const void* depth_data = vt_frame_data(depth, &error);
    check(error);
    uint32_t depth_size = vt_frame_data_size(depth, &error);
    check(error);
    uint32_t depth_width = vt_frame_width(depth, &error);
    check(error);
    uint32_t depth_height = vt_frame_height(depth, &error);
    check(error);
    queue_set(writer, color_data, color_data != nullptr ? color_size : 0, depth_data,
              depth_data != nullptr ? depth_size : 0, depth_width, depth_height, microseconds);
}

}  // namespace vtrec
