// The recording format that Camrecord writes and the simulated SDK plays: the
// names of formats and sensors, the rule for depth samples, the folder's
// layout and its list of sets with their times. simulated_sdk/README.md
// describes the format for people who write recordings from their own tools.
//
//   FOLDER/scenario.json      the camera as the SDK showed it (a scenario file)
//   FOLDER/times.txt          the sets in the order of recording, each with its time
//   FOLDER/color/NAME.jpg     a set's colour frame, byte for byte as delivered
//   FOLDER/depth/NAME.png     a set's depth frame, 16-bit grey PNG
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "vantra_sdk.h"

namespace vtrec {

// A code of the SDK's enumerations and the name that scenario files give it.
struct Named {
    const char* name;
    uint32_t value;
};
extern const Named kFormats[6];
extern const Named kSensors[5];

// The formats that carry depth as two bytes per pixel, and so can carry a
// recording's depth: Y16, Y12, YUYV and YUY2.
bool holds_16bit_depth(vt_format format);

constexpr const char* kDescriptionFile = "scenario.json";
constexpr const char* kTimesFile = "times.txt";
constexpr const char* kEndLine = "end";  // the last line of a recording that ended normally

// "000042": set names of six digits, so that name order is recording order.
std::string set_name(uint64_t number);
std::string color_file(const std::string& name);  // "color/NAME.jpg"
std::string depth_file(const std::string& name);  // "depth/NAME.png"

// The line of times.txt for one set: "NAME MICROSECONDS\n".
std::string times_line(const std::string& name, int64_t microseconds);

struct TimedSet {
    std::string name;
    int64_t microseconds;  // since the first set
};

struct Times {
    std::vector<TimedSet> sets;
    bool complete = false;  // it ends with the end line
    // What an interrupted recording left after its last good set line (a
    // set in flight, or lines that are not good), ignored; empty when
    // nothing was. It begins on the line of that number.
    std::string leftover;
    int leftover_line = 0;
};

// The longest time between two sets: a camera that stops for longer has
// ended its recording.
constexpr int64_t kLongestGap = int64_t{3600} * 1000 * 1000;

struct TimesError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads the text of times.txt; lines may end with CR LF. A recording that
// was interrupted has no end line; whatever follows its last good line is
// left over and ignored. In a complete one every line must be good: a name,
// and a time that neither goes back nor comes more than kLongestGap after
// the one before. Throws TimesError "line N: ...".
Times parse_times(const std::string& text);

}  // namespace vtrec
