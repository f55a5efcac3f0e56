// The files that the SDK opens for itself: the trace, the statistics, the
// scenario and a recording's pictures.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// open(2) for the SDK's own files: always close-on-exec, so that no program
// the host starts inherits them, and never as descriptor 0, 1 or 2. A program
// started with one of those closed would otherwise find the SDK's file there,
// and its own output would go into the trace, or its input come from a
// picture. Returns the descriptor, or -1 with errno set.
int open_file(const std::string& path, int flags, mode_t mode = 0);

// Reads from the descriptor to its end, appending to the bytes; false with
// errno set when a read fails.
bool read_to_end(int fd, std::vector<uint8_t>& bytes);

// Writes the whole text; false with errno set when a write fails.
bool write_all(int fd, const std::string& text);

}  // namespace sim
