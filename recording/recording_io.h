// The files of a recording, read and written one way by every tool: the
// descriptors, whole writes made durable, and the two picture formats (JPEG
// colour byte for byte, 16-bit grey PNG depth).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vtrec {

using Bytes = std::vector<uint8_t>;

// The largest side of a picture in a recording, as of a profile in a scenario.
constexpr uint32_t kMaxSide = 16384;
// The largest file that a recording holds: a frame's size must fit 32 bits.
constexpr uint64_t kMaxFileBytes = uint64_t{1} << 30;

// open(2), close-on-exec and never as descriptor 0, 1 or 2: a program
// started with one of those closed would otherwise write its messages, or a
// library its warnings, into a recording file. -1 with errno set.
int open_file(const std::string& path, int flags, mode_t mode = 0);

// Writes all of the bytes; false with errno set.
bool write_all(int fd, const void* data, size_t size);

// A new file, written under a hidden name beside its path (".NAME.part")
// and given its name only once its data is durable, never replacing a file
// of that name. Whether the name itself is durable is the caller's: see
// sync_folder. The steps fail with the problem ("cannot write PATH: reason").
struct NewFile {
    std::string path;
    std::string temp;
    int fd = -1;
    bool named = false;
};
bool write_hidden(const std::string& path, const void* data, size_t size, NewFile& file,
                  std::string& problem);
bool sync_and_name(NewFile& file, std::string& problem);  // closes it too
void discard(NewFile& file);  // closes it and removes its names, hidden or not

// The three steps for one file.
bool write_new_file(const std::string& path, const void* data, size_t size, std::string& problem);

// Makes the names in a folder durable; false with errno set.
bool sync_folder(const std::string& path);

// Reads a whole regular file of at most kMaxFileBytes; a FIFO or device is
// refused before a read. Throws FileError ("cannot be read: reason", "is
// not a regular file", "is larger than 1 GiB").
Bytes read_file(const std::string& path);

struct FileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Size {
    uint32_t width = 0;
    uint32_t height = 0;
};
std::string size_text(Size size);  // "640x480"

// A JPEG picture's size from its header; with whole, all of its data is
// decoded too (at an eighth of the size). Throws FileError ("not a JPEG
// picture: ...", "... is larger than 16384x16384").
Size jpeg_size(const Bytes& jpeg, bool whole = false);

// A 16-bit grey PNG picture from 16-bit samples in the machine's order.
Bytes encode_depth_png(const uint8_t* samples, Size size);

// The size of a 16-bit grey PNG picture and, unless only the header is
// wanted, its samples in the machine's order. Throws FileError ("cannot be
// decoded as PNG: ...", "8-bit grey PNG, but depth needs 16-bit grey").
Bytes decode_depth_png(const Bytes& png, bool header_only, Size& size);

}  // namespace vtrec
