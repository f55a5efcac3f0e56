// The files that the SDK opens for itself: the trace, the statistics, the
// scenario and a recording's pictures.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "recording_io.h"

namespace sim {

// open(2) for the SDK's own files, the recording library's: close-on-exec and
// never descriptor 0, 1 or 2, so that a program started with one of those
// closed does not find its output in the trace or its input in a picture.
using vtrec::open_file;

// Reads from the descriptor to its end, appending to the bytes; false with
// errno set when a read fails.
bool read_to_end(int fd, std::vector<uint8_t>& bytes);

// Writes the whole text; false with errno set when a write fails.
bool write_all(int fd, const std::string& text);

// Opens a file for reading that must be a regular file of at most max_bytes
// bytes, and gives its status; -1 with why set otherwise (as below).
int open_regular_file(const std::string& path, uint64_t max_bytes, struct stat& st,
                      std::string& why);

// Reads a whole file that must be a regular file of at most max_bytes bytes.
// Anything else (a FIFO, a device such as /dev/zero, a folder) is refused
// before a single read, so that nothing blocks or reads without end. False
// with why set ("is not a regular file", "is larger than ...", "cannot be
// read: " and the system's reason).
bool read_regular_file(const std::string& path, uint64_t max_bytes, std::string& text,
                       std::string& why);

// open_file for the files that the SDK writes (its trace and statistics),
// such that no write ever waits: a FIFO that no one reads fails here with
// ENXIO, and a write that would wait for a stalled reader (or a full
// terminal) fails with EAGAIN instead.
int open_output_file(const std::string& path, int flags);
// Why opening or writing such a file failed, from the errno that it gave.
std::string output_failure(const std::string& path, int error);

// Writes "simulated SDK: ", the text and a newline to standard error, for a
// file of the SDK's own that it cannot serve and goes on without; drops the
// message rather than wait for standard error.
void warn(const std::string& text);

}  // namespace sim
