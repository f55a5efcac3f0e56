// Arbitrary bytes as the files of a recording that users edit and tools
// write: the first byte chooses times.txt (0), a set's colour JPEG (1) or
// its depth PNG (2), the rest is the file. Each reader either gives what a
// replay can play or throws its error with a message; a crash, a hang, any
// other exception or a sanitizer report is a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "recording_format.h"
#include "recording_io.h"

namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "recording_fuzz: %s\n", what);
        abort();
    }
}

void check_times(const std::string& text) {
    vtrec::Times times;
    try {
        times = vtrec::parse_times(text);
    } catch (const vtrec::TimesError& e) {
        require(std::string(e.what()).rfind("line ", 0) == 0, "TimesError without its line");
        return;
    }
    // The replay plays the gaps in nanoseconds and loops at their mean.
    for (size_t i = 0; i < times.sets.size(); i++) {
        const vtrec::TimedSet& set = times.sets[i];
        require(!set.name.empty() && set.name[0] != '.' && set.name.find('/') == std::string::npos,
                "a set name that is no file name");
        require(set.microseconds >= 0, "a negative time");
        if (i > 0) {
            int64_t gap = set.microseconds - times.sets[i - 1].microseconds;
            require(gap >= 0 && gap <= vtrec::kLongestGap, "a gap that goes back or is too long");
        }
    }
    require(times.leftover.empty() || !times.complete, "a complete list with lines left over");
    require(times.leftover.size() <= text.size(), "more left over than given");
}

void check_picture(uint8_t kind, const vtrec::Bytes& bytes) {
    try {
        vtrec::Size size;
        if (kind == 1) {
            size = vtrec::jpeg_size(bytes, true);
        } else {
            vtrec::Bytes samples = vtrec::decode_depth_png(bytes, false, size);
            require(samples.size() == (size_t)size.width * size.height * 2,
                    "depth samples not two bytes a pixel");
        }
        require(size.width >= 1 && size.width <= vtrec::kMaxSide && size.height >= 1 &&
                    size.height <= vtrec::kMaxSide,
                "picture size out of range");
    } catch (const vtrec::FileError& e) {
        require(e.what()[0] != '\0', "FileError without a message");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint8_t kind = data[0] % 3;
    if (kind == 0) {
        check_times(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    } else {
        check_picture(kind, vtrec::Bytes(data + 1, data + size));
    }
    return 0;
}
