// What the simulated camera looks like and how it behaves: the built-in
// defaults, replaced key by key by the JSON file named in VANTRA_SIM_SCENARIO.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "vantra_sdk.h"

namespace sim {

struct Profile {
    vt_format format;
    uint32_t width;
    uint32_t height;
    uint32_t fps;
};

inline bool operator==(const Profile& a, const Profile& b) {
    return a.format == b.format && a.width == b.width && a.height == b.height && a.fps == b.fps;
}

struct Device {
    std::string name;
    int pid;
    int vid;
    std::string uid;
    std::string firmware_version;
    std::string serial_number;
    std::vector<vt_sensor_type> sensors;
    std::vector<Profile> depth_profiles;
    std::vector<Profile> color_profiles;
};

// Makes the nth call (1-based, over the whole process) of one SDK function fail.
struct Fault {
    std::string call;
    int64_t nth;
    std::string message;
    bool has_args;
    std::string args;
    vt_exception_type type;
};

// What one frame set holds, cycled over the sets of a stream.
enum class SetKind {
    both,             // every enabled stream's frame
    color_only,       // no depth frame
    depth_only,       // no colour frame
    empty,            // no frame at all
    bad_color,        // colour bytes that are not a JPEG picture
    short_color,      // a colour frame of fewer than 1024 bytes
    truncated_depth,  // depth bytes shorter than width x height x 2
};

// How the simulated camera codes its MJPEG colour frames. The defaults are
// what most USB cameras send: 4:2:2 chroma, the standard Huffman tables in
// every frame, an AVI1 APP0 segment in place of JFIF, no padding.
struct JpegStyle {
    int subsampling = 422;       // 420, 422 or 444
    bool huffman_tables = true;  // false: no DHT segment; decoders use the standard tables
    uint32_t padding = 0;        // zero bytes after the end-of-image marker
    int quality = 85;
};

struct StreamSettings {
    bool realtime = true;   // false: a set is made as soon as it is waited for
    int64_t framesets = 0;  // sets to deliver in all; 0 is endless
    std::vector<SetKind> pattern{SetKind::both};
    // A folder of recorded frames (see recording.h), or empty for the synthetic
    // scene. A relative path in a scenario file is taken from the file's folder.
    std::string source;
    // The depth and colour profiles that the source was recorded with. With
    // them the profile lists stay as they are and only these two play the
    // recording; without them every profile takes the recording's sizes.
    bool has_recorded = false;
    Profile recorded_depth{};
    Profile recorded_color{};
    JpegStyle color;  // the synthetic scene's colour frames
};

// The built-in scene (see scene.h): whether the ball moves, whether depth has
// noise and holes, and the seed of the noise.
struct SceneSettings {
    bool motion = true;
    bool noise = true;
    bool holes = true;
    uint64_t seed = 0;  // a negative seed of the file by its bits
};

struct Scenario {
    int version[3] = {1, 0, 0};
    std::vector<Device> devices;
    std::vector<Fault> faults;
    StreamSettings stream;
    SceneSettings scene;
};

struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

Scenario default_scenario();

// Parses a scenario text; throws ScenarioError naming the place of the problem.
Scenario parse_scenario(const std::string& text);

// The scenario of VANTRA_SIM_SCENARIO, or the defaults when it is unset; throws
// ScenarioError whose text names the file.
Scenario load_scenario();

// Names of the SDK functions that take an error slot, for faults.
bool is_sdk_function(const std::string& name);

const char* sensor_name(vt_sensor_type type);
std::string format_name(vt_format format);  // "MJPG", or "format 17" for a code without a name
std::string profile_text(const Profile& profile);  // "Y16 640x480 at 30 fps"

// The folder that a scenario file's stream.source names: a relative path is
// taken from the scenario file's folder.
std::string resolve_source(const std::string& scenario_path, const std::string& source);

}  // namespace sim
