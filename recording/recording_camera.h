// What a recorder takes from the Camera SDK: the description of the camera
// that a recording holds (scenario.json, a scenario file of the simulated
// SDK) and the frames of a set. Every SDK call is followed by the check,
// which does not return when the call failed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "recording_writer.h"
#include "vantra_sdk.h"

namespace vtrec {

using json = nlohmann::ordered_json;
using CheckError = void (*)(vt_error* error);

// The SDK's version and the device as Camprobe reports it: name, USB ids,
// unique id, firmware version, serial number and sensor list.
json describe_camera(vt_device* device, CheckError check);

// A profile: format (by name), size and rate; and a list of them.
json describe_profile(vt_stream_profile* profile, CheckError check);
json describe_profiles(vt_stream_profile** profiles, uint32_t count, CheckError check);

// "Y16 640x480 at 30 fps"
std::string profile_text(const json& profile);

// Adds the profiles chosen for recording to the description, the folder
// playing itself. Empty, or the problem when they cannot be recorded (a
// recording holds depth as 16-bit samples and colour as MJPG).
std::string describe_recorded(json& scenario, vt_stream_profile* depth, vt_stream_profile* color,
                              CheckError check);

// The description's text; texts that are not UTF-8 are written as U+FFFD,
// since JSON holds Unicode text only, and replaced says so.
std::string description_text(const json& scenario, bool& replaced);

// Hands the frames of a whole set to the writer, with the time it came.
void queue_frames(Writer* writer, vt_frame* color, vt_frame* depth, int64_t microseconds,
                  CheckError check);

}  // namespace vtrec
