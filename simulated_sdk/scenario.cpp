#include "scenario.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>

#include <nlohmann/json.hpp>

#include "files.h"
#include "recording_format.h"

namespace sim {

using nlohmann::json;

namespace {

struct SdkFunction {
    const char* name;
    bool error_slot;
};

const SdkFunction kSdkFunctions[] = {
#define VT_FUNCTION(name, error_slot) {#name, error_slot},
#include "functions.def"
};

// Formats and sensors by the names that the recording format gives them.
using vtrec::kFormats;
using vtrec::kSensors;
using vtrec::Named;

const Named kSetKinds[] = {{"both", (uint32_t)SetKind::both},
                           {"color_only", (uint32_t)SetKind::color_only},
                           {"depth_only", (uint32_t)SetKind::depth_only},
                           {"empty", (uint32_t)SetKind::empty},
                           {"bad_color", (uint32_t)SetKind::bad_color},
                           {"short_color", (uint32_t)SetKind::short_color},
                           {"truncated_depth", (uint32_t)SetKind::truncated_depth}};

[[noreturn]] void fail(const std::string& where, const std::string& what) {
    throw ScenarioError(where + ": " + what);
}

void check_keys(const json& j, const std::string& where, std::initializer_list<const char*> keys) {
    if (!j.is_object()) fail(where, "must be an object");
    for (const auto& item : j.items()) {
        bool known = false;
        for (const char* key : keys) known = known || item.key() == key;
        if (!known) fail(where, "unknown key \"" + item.key() + "\"");
    }
}

int64_t get_int(const json& j, const std::string& where, int64_t lo, int64_t hi) {
    if (!j.is_number_integer()) fail(where, "must be a whole number");
    int64_t v = j.is_number_unsigned() && j.get<uint64_t>() > (uint64_t)INT64_MAX
                    ? INT64_MAX
                    : j.get<int64_t>();
    if (v < lo || v > hi) {
        fail(where, "must be from " + std::to_string(lo) + " to " + std::to_string(hi));
    }
    return v;
}

std::string get_string(const json& j, const std::string& where) {
    if (!j.is_string()) fail(where, "must be a string");
    return j.get<std::string>();
}

bool get_bool(const json& j, const std::string& where) {
    if (!j.is_boolean()) fail(where, "must be true or false");
    return j.get<bool>();
}

void require_array(const json& j, const std::string& where) {
    if (!j.is_array()) fail(where, "must be a list");
}

// A code given by one of its names or as a number.
template <size_t N>
uint32_t get_code(const json& j, const std::string& where, const Named (&names)[N],
                  bool numbers_allowed) {
    if (j.is_string()) {
        for (const Named& n : names) {
            if (j.get<std::string>() == n.name) return n.value;
        }
        std::string known;
        for (const Named& n : names) known += std::string(known.empty() ? "" : ", ") + n.name;
        fail(where, "unknown name \"" + j.get<std::string>() + "\" (known: " + known + ")");
    }
    if (!numbers_allowed) fail(where, "must be a name");
    return (uint32_t)get_int(j, where, 0, UINT32_MAX);
}

Profile parse_profile(const json& p, const std::string& at) {
    check_keys(p, at, {"format", "width", "height", "fps"});
    for (const char* key : {"format", "width", "height", "fps"}) {
        if (!p.contains(key)) fail(at, std::string("\"") + key + "\" is missing");
    }
    return {(vt_format)get_code(p["format"], at + ".format", kFormats, true),
            (uint32_t)get_int(p["width"], at + ".width", 1, 16384),
            (uint32_t)get_int(p["height"], at + ".height", 1, 16384),
            (uint32_t)get_int(p["fps"], at + ".fps", 1, 1000)};
}

std::vector<Profile> parse_profiles(const json& j, const std::string& where) {
    std::vector<Profile> profiles;
    require_array(j, where);
    for (size_t i = 0; i < j.size(); i++) {
        profiles.push_back(parse_profile(j[i], where + "[" + std::to_string(i) + "]"));
    }
    return profiles;
}

Device parse_device(const json& j, const std::string& where) {
    check_keys(
        j, where,
        {"name", "pid", "vid", "uid", "firmware_version", "serial_number", "sensors", "profiles"});
    Device d = default_scenario().devices[0];
    if (j.contains("name")) d.name = get_string(j["name"], where + ".name");
    if (j.contains("pid")) d.pid = (int)get_int(j["pid"], where + ".pid", INT32_MIN, INT32_MAX);
    if (j.contains("vid")) d.vid = (int)get_int(j["vid"], where + ".vid", INT32_MIN, INT32_MAX);
    if (j.contains("uid")) d.uid = get_string(j["uid"], where + ".uid");
    if (j.contains("firmware_version")) {
        d.firmware_version = get_string(j["firmware_version"], where + ".firmware_version");
    }
    if (j.contains("serial_number")) {
        d.serial_number = get_string(j["serial_number"], where + ".serial_number");
    }
    if (j.contains("sensors")) {
        d.sensors.clear();
        const json& s = j["sensors"];
        require_array(s, where + ".sensors");
        for (size_t i = 0; i < s.size(); i++) {
            std::string at = where + ".sensors[" + std::to_string(i) + "]";
            d.sensors.push_back((vt_sensor_type)get_code(s[i], at, kSensors, true));
        }
    }
    if (j.contains("profiles")) {
        const json& p = j["profiles"];
        check_keys(p, where + ".profiles", {"depth", "color"});
        if (p.contains("depth")) {
            d.depth_profiles = parse_profiles(p["depth"], where + ".profiles.depth");
        }
        if (p.contains("color")) {
            d.color_profiles = parse_profiles(p["color"], where + ".profiles.color");
        }
    }
    return d;
}

Fault parse_fault(const json& j, const std::string& where) {
    check_keys(j, where, {"call", "nth", "message", "args", "type"});
    if (!j.contains("call")) fail(where, "\"call\" is missing");
    Fault f{get_string(j["call"], where + ".call"),
            1,
            "injected fault",
            false,
            "",
            VT_EXCEPTION_UNKNOWN};
    if (!is_sdk_function(f.call)) {
        fail(where + ".call", "\"" + f.call + "\" is not an SDK function with an error slot");
    }
    if (j.contains("nth")) f.nth = get_int(j["nth"], where + ".nth", 1, INT64_MAX);
    if (j.contains("message")) f.message = get_string(j["message"], where + ".message");
    if (j.contains("args")) {
        f.has_args = true;
        f.args = get_string(j["args"], where + ".args");
    }
    if (j.contains("type")) {
        f.type = (vt_exception_type)get_int(j["type"], where + ".type", 0, UINT32_MAX);
    }
    return f;
}

JpegStyle parse_jpeg_style(const json& j, const std::string& where) {
    check_keys(j, where, {"subsampling", "huffman_tables", "padding", "quality"});
    JpegStyle style;
    if (j.contains("subsampling")) {
        std::string s = get_string(j["subsampling"], where + ".subsampling");
        if (s != "420" && s != "422" && s != "444") {
            fail(where + ".subsampling", "must be \"420\", \"422\" or \"444\"");
        }
        style.subsampling = std::stoi(s);
    }
    if (j.contains("huffman_tables")) {
        style.huffman_tables = get_bool(j["huffman_tables"], where + ".huffman_tables");
    }
    if (j.contains("padding")) {
        style.padding = (uint32_t)get_int(j["padding"], where + ".padding", 0, 1 << 20);
    }
    if (j.contains("quality"))
        style.quality = (int)get_int(j["quality"], where + ".quality", 1, 100);
    return style;
}

StreamSettings parse_stream(const json& j, const std::string& where) {
    check_keys(j, where, {"realtime", "framesets", "pattern", "source", "color", "recorded"});
    StreamSettings s;
    if (j.contains("realtime")) s.realtime = get_bool(j["realtime"], where + ".realtime");
    if (j.contains("framesets")) {
        s.framesets = get_int(j["framesets"], where + ".framesets", 0, INT64_MAX);
    }
    if (j.contains("pattern")) {
        const json& p = j["pattern"];
        require_array(p, where + ".pattern");
        if (p.empty()) fail(where + ".pattern", "must not be empty");
        s.pattern.clear();
        for (size_t i = 0; i < p.size(); i++) {
            std::string at = where + ".pattern[" + std::to_string(i) + "]";
            s.pattern.push_back((SetKind)get_code(p[i], at, kSetKinds, false));
        }
    }
    if (j.contains("source")) {
        s.source = get_string(j["source"], where + ".source");
        if (s.source.empty()) fail(where + ".source", "must name a folder");
        if (s.source.find('\0') != std::string::npos) {
            fail(where + ".source", "must not hold a NUL character");
        }
    }
    if (j.contains("color")) s.color = parse_jpeg_style(j["color"], where + ".color");
    if (j.contains("recorded")) {
        const json& r = j["recorded"];
        std::string at = where + ".recorded";
        if (s.source.empty()) fail(at, "needs \"source\", the folder that was recorded");
        check_keys(r, at, {"depth", "color"});
        for (const char* key : {"depth", "color"}) {
            if (!r.contains(key)) fail(at, std::string("\"") + key + "\" is missing");
        }
        s.has_recorded = true;
        s.recorded_depth = parse_profile(r["depth"], at + ".depth");
        s.recorded_color = parse_profile(r["color"], at + ".color");
    }
    return s;
}

SceneSettings parse_scene(const json& j, const std::string& where) {
    check_keys(j, where, {"motion", "noise", "holes", "seed"});
    SceneSettings s;
    if (j.contains("motion")) s.motion = get_bool(j["motion"], where + ".motion");
    if (j.contains("noise")) s.noise = get_bool(j["noise"], where + ".noise");
    if (j.contains("holes")) s.holes = get_bool(j["holes"], where + ".holes");
    if (j.contains("seed")) {
        // Any whole number of JSON that fits 64 bits; negative ones by their bits.
        const json& seed = j["seed"];
        // JSON reads a number with a point or an exponent, and a whole one
        // beyond 64 bits, as a floating one: say which of them it is.
        if (seed.is_number_float()) {
            double v = seed.get<double>();
            if (v != std::floor(v)) fail(where + ".seed", "must be a whole number");
            if (v < -9223372036854775808.0 || v >= 18446744073709551616.0) {
                fail(where + ".seed",
                     "too large: must be from -9223372036854775808 to 18446744073709551615");
            }
            fail(where + ".seed", "must be written without a point or an exponent");
        }
        if (!seed.is_number_integer()) fail(where + ".seed", "must be a whole number");
        s.seed = seed.is_number_unsigned() ? seed.get<uint64_t>() : (uint64_t)seed.get<int64_t>();
    }
    return s;
}

// A recorded profile must be one that the camera offers, or nothing could
// ever play the recording.
void check_recorded(const Scenario& s) {
    if (!s.stream.has_recorded || s.devices.empty()) return;
    const Device& d = s.devices[0];
    auto check = [](const Profile& p, const std::vector<Profile>& list, const char* sensor) {
        if (std::find(list.begin(), list.end(), p) == list.end()) {
            fail(std::string("stream.recorded.") + sensor,
                 profile_text(p) + " is not in devices[0].profiles." + sensor);
        }
    };
    check(s.stream.recorded_depth, d.depth_profiles, "depth");
    check(s.stream.recorded_color, d.color_profiles, "color");
}

}  // namespace

bool is_sdk_function(const std::string& name) {
    for (const SdkFunction& f : kSdkFunctions) {
        if (f.error_slot && name == f.name) return true;
    }
    return false;
}

const char* sensor_name(vt_sensor_type type) {
    for (const Named& n : kSensors) {
        if (n.value == type) return n.name;
    }
    return "unknown";
}

std::string format_name(vt_format format) {
    for (const Named& n : kFormats) {
        if (n.value == format) return n.name;
    }
    return "format " + std::to_string((uint32_t)format);
}

std::string profile_text(const Profile& profile) {
    return format_name(profile.format) + " " + std::to_string(profile.width) + "x" +
           std::to_string(profile.height) + " at " + std::to_string(profile.fps) + " fps";
}

std::string resolve_source(const std::string& scenario_path, const std::string& source) {
    std::filesystem::path p(source);
    if (source.empty() || p.is_absolute()) return source;
    return (std::filesystem::path(scenario_path).parent_path() / p).string();
}

Scenario default_scenario() {
    Scenario s;
    Device d;
    d.name = "Vantra DC-1 Simulated Depth Camera";
    d.pid = 4096;
    d.vid = 65534;
    d.uid = "sim-usb-1-1";
    d.firmware_version = "1.0.0-sim";
    d.serial_number = "SIM00000001";
    d.sensors = {VT_SENSOR_COLOR, VT_SENSOR_DEPTH, VT_SENSOR_IR, VT_SENSOR_IMU};
    // Entry 0 of each list does not match a viewer's usual choice, so that a
    // selection rule that takes the first entry by mistake shows up.
    d.depth_profiles = {{VT_FORMAT_Y16, 640, 480, 15},  {VT_FORMAT_YUYV, 640, 480, 15},
                        {VT_FORMAT_Y8, 640, 480, 30},   {VT_FORMAT_Y16, 320, 240, 15},
                        {VT_FORMAT_Y16, 640, 480, 30},  {VT_FORMAT_YUYV, 640, 480, 30},
                        {VT_FORMAT_Y16, 1280, 800, 30}, {VT_FORMAT_Y16, 320, 240, 30}};
    d.color_profiles = {{VT_FORMAT_YUYV, 1280, 720, 30},  {VT_FORMAT_MJPG, 1280, 720, 15},
                        {VT_FORMAT_MJPG, 1280, 720, 60},  {VT_FORMAT_MJPG, 1280, 720, 30},
                        {VT_FORMAT_MJPG, 1920, 1080, 30}, {VT_FORMAT_YUYV, 640, 480, 60},
                        {VT_FORMAT_MJPG, 640, 480, 30}};
    s.devices.push_back(d);
    return s;
}

Scenario parse_scenario(const std::string& text) {
    json j;
    try {
        j = json::parse(text);
    } catch (const json::exception& e) {
        throw ScenarioError(std::string("not valid JSON: ") + e.what());
    }
    check_keys(j, "scenario", {"sdk_version", "devices", "faults", "stream", "scene"});
    Scenario s = default_scenario();
    if (j.contains("sdk_version")) {
        const json& v = j["sdk_version"];
        require_array(v, "sdk_version");
        if (v.size() != 3) fail("sdk_version", "must list major, minor and patch");
        for (int i = 0; i < 3; i++) {
            s.version[i] =
                (int)get_int(v[i], "sdk_version[" + std::to_string(i) + "]", 0, INT32_MAX);
        }
    }
    if (j.contains("devices")) {
        const json& d = j["devices"];
        require_array(d, "devices");
        s.devices.clear();
        for (size_t i = 0; i < d.size(); i++) {
            s.devices.push_back(parse_device(d[i], "devices[" + std::to_string(i) + "]"));
        }
    }
    if (j.contains("faults")) {
        const json& f = j["faults"];
        require_array(f, "faults");
        for (size_t i = 0; i < f.size(); i++) {
            s.faults.push_back(parse_fault(f[i], "faults[" + std::to_string(i) + "]"));
        }
    }
    if (j.contains("stream")) s.stream = parse_stream(j["stream"], "stream");
    if (j.contains("scene")) s.scene = parse_scene(j["scene"], "scene");
    check_recorded(s);
    return s;
}

namespace {

// Counts the values of a JSON text, keys included, and keeps none of them;
// stops the parse at the first value over the limit.
struct ValueCounter : nlohmann::json_sax<json> {
    explicit ValueCounter(size_t limit) : limit(limit) {}
    bool count() { return ++values <= limit; }
    bool null() override { return count(); }
    bool boolean(bool) override { return count(); }
    bool number_integer(number_integer_t) override { return count(); }
    bool number_unsigned(number_unsigned_t) override { return count(); }
    bool number_float(number_float_t, const string_t&) override { return count(); }
    bool string(string_t&) override { return count(); }
    bool binary(binary_t&) override { return count(); }
    bool start_object(size_t) override { return count(); }
    bool key(string_t&) override { return count(); }
    bool end_object() override { return true; }
    bool start_array(size_t) override { return count(); }
    bool end_array() override { return true; }
    bool parse_error(size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;  // the parse proper says what is wrong
    }
    size_t limit;
    size_t values = 0;
};

}  // namespace

Scenario load_scenario() {
    const char* path = getenv("VANTRA_SIM_SCENARIO");
    if (path == nullptr || *path == '\0') return default_scenario();
    const std::string where = std::string("scenario file '") + path + "': ";
    // Far more than any camera needs, and little enough to hold in memory: the
    // parsed scenario takes up to 100 bytes for each value, and releasing it
    // needs memory too, where a failure would end the process.
    const uint64_t max_bytes = uint64_t{16} << 20;
    const size_t max_values = 100000;
    try {
        std::string text, why;
        if (!read_regular_file(path, max_bytes, text, why)) throw ScenarioError(why);
        ValueCounter counter(max_values);
        json::sax_parse(text, &counter);
        if (counter.values > max_values) {
            throw ScenarioError("holds more than " + std::to_string(max_values) + " values");
        }
        Scenario s = parse_scenario(text);
        s.stream.source = resolve_source(path, s.stream.source);
        return s;
    } catch (const ScenarioError& e) {
        throw ScenarioError(where + e.what());
    } catch (const std::bad_alloc&) {
        throw ScenarioError(where + "there is not enough memory to read it");
    }
}

}  // namespace sim
