// Arbitrary bytes as a scenario file. The parser either gives a scenario that
// the rest of the simulated SDK can work with, or throws ScenarioError with a
// message; a crash, any other exception or a sanitizer report is a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "scenario.h"

namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "scenario_fuzz: %s\n", what);
        abort();
    }
}

void check_profiles(const std::vector<sim::Profile>& profiles) {
    for (const sim::Profile& p : profiles) {
        // The producer divides by the rate and allocates width x height pixels.
        require(p.fps >= 1 && p.fps <= 1000, "profile rate out of range");
        require(p.width >= 1 && p.width <= 16384 && p.height >= 1 && p.height <= 16384,
                "profile size out of range");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    sim::Scenario s;
    try {
        s = sim::parse_scenario(text);
    } catch (const sim::ScenarioError& e) {
        require(e.what()[0] != '\0', "ScenarioError without a message");
        return 0;
    }
    for (const sim::Device& d : s.devices) {
        check_profiles(d.depth_profiles);
        check_profiles(d.color_profiles);
    }
    for (const sim::Fault& f : s.faults) {
        require(f.nth >= 1 && sim::is_sdk_function(f.call), "fault that can never fire");
    }
    // The producer picks the kind of each set by n % pattern size.
    require(!s.stream.pattern.empty(), "empty set pattern");
    require(s.stream.framesets >= 0, "negative frame set count");
    if (s.stream.source != "") {
        // A folder name that the file system calls could cut short or misread.
        require(s.stream.source.find('\0') == std::string::npos, "NUL in stream.source");
        std::string folder = sim::resolve_source("/scenarios/fuzz.json", s.stream.source);
        require(folder.size() >= s.stream.source.size() && folder[0] == '/',
                "stream.source resolved to no absolute folder");
    }
    return 0;
}
