#include "recording_format.h"

#include <cstdio>
#include <cstring>

namespace vtrec {

const Named kFormats[6] = {{"YUYV", VT_FORMAT_YUYV}, {"YUY2", VT_FORMAT_YUY2},
                           {"MJPG", VT_FORMAT_MJPG}, {"Y16", VT_FORMAT_Y16},
                           {"Y8", VT_FORMAT_Y8},     {"Y12", VT_FORMAT_Y12}};
const Named kSensors[5] = {{"unknown", VT_SENSOR_UNKNOWN},
                           {"ir", VT_SENSOR_IR},
                           {"color", VT_SENSOR_COLOR},
                           {"depth", VT_SENSOR_DEPTH},
                           {"imu", VT_SENSOR_IMU}};

bool holds_16bit_depth(vt_format format) {
    return format == VT_FORMAT_Y16 || format == VT_FORMAT_Y12 || format == VT_FORMAT_YUYV ||
           format == VT_FORMAT_YUY2;
}

std::string set_name(uint64_t number) {
    char name[32];
    snprintf(name, sizeof name, "%06llu", (unsigned long long)number);
    return name;
}

std::string color_file(const std::string& name) {
    return "color/" + name + ".jpg";
}

std::string depth_file(const std::string& name) {
    return "depth/" + name + ".png";
}

std::string times_line(const std::string& name, int64_t microseconds) {
    return name + " " + std::to_string(microseconds) + "\n";
}

namespace {

// A set name: letters, digits, '.', '_' and '-', not starting with '.'.
bool good_name(const std::string& name) {
    if (name.empty() || name.size() > 200 || name[0] == '.') return false;
    for (char c : name) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                  c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

// "NAME MICROSECONDS"; the problem in the text when it is not one.
bool parse_set_line(const std::string& line, int64_t earliest, TimedSet& set,
                    std::string& problem) {
    size_t space = line.find(' ');
    std::string time = space == std::string::npos ? "" : line.substr(space + 1);
    set.name = line.substr(0, space);
    if (!good_name(set.name)) {
        problem = "\"" + line + "\" is not a set name and a time in microseconds";
        return false;
    }
    if (time.empty() || time.size() > 18 ||
        time.find_first_not_of("0123456789") != std::string::npos) {
        problem = "\"" + time + "\" is not a whole number of microseconds";
        return false;
    }
    set.microseconds = std::stoll(time);
    if (set.microseconds < earliest) {
        problem = "the time " + time + " is earlier than the set before";
        return false;
    }
    if (earliest >= 0 && set.microseconds - earliest > kLongestGap) {
        problem = "the time " + time + " is more than an hour after the set before";
        return false;
    }
    return true;
}

}  // namespace

Times parse_times(const std::string& text) {
    Times times;
    size_t whole = text.rfind('\n');
    whole = whole == std::string::npos ? 0 : whole + 1;  // the whole lines' length
    // Lines may end with CR LF, as written on some systems.
    auto ends_with = [&](const char* end) {
        size_t n = strlen(end);
        return text.size() >= n && text.compare(text.size() - n, n, end) == 0 &&
               (text.size() == n || text[text.size() - n - 1] == '\n');
    };
    bool ends_complete = ends_with("end\n") || ends_with("end\r\n");
    size_t at = 0;
    int64_t earliest = -1;
    for (int number = 1; at < whole; number++) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == kEndLine && end + 1 == text.size()) {
            times.complete = true;
            return times;
        }
        TimedSet set;
        std::string problem;
        if (!parse_set_line(line, earliest, set, problem)) {
            if (ends_complete) throw TimesError("line " + std::to_string(number) + ": " + problem);
            times.leftover = text.substr(at);
            times.leftover_line = number;
            return times;
        }
        earliest = set.microseconds;
        times.sets.push_back(set);
        at = end + 1;
    }
    times.leftover = text.substr(whole);
    times.leftover_line = (int)times.sets.size() + 1;
    return times;
}

}  // namespace vtrec
