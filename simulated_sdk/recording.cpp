#include "recording.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "files.h"
#include "recording_format.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kMaxSide = 16384;                   // as for the profiles of a scenario
constexpr uint64_t kMaxFileBytes = uint64_t{1} << 30;  // a frame's size must fit 32 bits

struct Size {
    uint32_t width = 0;
    uint32_t height = 0;
};

std::string size_text(Size s) {
    return std::to_string(s.width) + "x" + std::to_string(s.height);
}

bool has_extension(const std::string& name, std::initializer_list<const char*> extensions) {
    std::string lower = name;
    for (char& c : lower) c = (char)std::tolower((unsigned char)c);
    for (const char* e : extensions) {
        size_t n = strlen(e);
        if (lower.size() > n && lower.compare(lower.size() - n, n, e) == 0) return true;
    }
    return false;
}

// The files of one sub-folder with the extensions, as "sub/name", in
// byte-wise name order. Folders and hidden files are left out.
std::vector<std::string> list_files(const std::string& folder, const std::string& sub,
                                    std::initializer_list<const char*> extensions,
                                    const std::string& what) {
    std::error_code ec;
    fs::directory_iterator it(fs::path(folder) / sub, ec);
    if (ec) throw RecordingError(sub + "/ cannot be read: " + ec.message());
    std::vector<std::string> names;
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        std::error_code type_ec;
        if (name[0] == '.' || it->is_directory(type_ec)) continue;
        if (has_extension(name, extensions)) names.push_back(name);
    }
    if (ec) throw RecordingError(sub + "/ cannot be read: " + ec.message());
    if (names.empty()) throw RecordingError(sub + "/ holds no " + what + " files");
    std::sort(names.begin(), names.end());
    for (std::string& name : names) name = sub + "/" + name;
    return names;
}

// Opens a regular file for reading; a FIFO or device does not block or
// stream for ever.
int open_recording_file(const std::string& path, struct stat& st) {
    std::string why;
    int fd = open_regular_file(path, kMaxFileBytes, st, why);
    if (fd < 0) throw RecordingError(why);
    return fd;
}

Bytes read_file(const std::string& path) {
    struct stat st {};
    int fd = open_recording_file(path, st);
    Bytes bytes;
    bytes.reserve((size_t)st.st_size);
    bool ok = read_to_end(fd, bytes);
    int e = errno;
    close(fd);
    if (!ok) throw RecordingError(std::string("cannot be read: ") + strerror(e));
    return bytes;
}

using Decompressor = std::unique_ptr<void, int (*)(tjhandle)>;

Decompressor jpeg_decompressor() {
    Decompressor tj(tjInitDecompress(), tjDestroy);
    if (!tj) throw RecordingError("cannot start the JPEG decoder");
    return tj;
}

Size jpeg_size(tjhandle tj, const Bytes& jpeg) {
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(tj, jpeg.data(), (unsigned long)jpeg.size(), &width, &height,
                            &subsampling, &colorspace) != 0) {
        throw RecordingError(std::string("not a JPEG picture: ") + tjGetErrorStr2(tj));
    }
    return {(uint32_t)width, (uint32_t)height};
}

struct PngErrors {
    char message[256];
};

void on_png_error(png_structp png, png_const_charp message) {
    auto* errors = static_cast<PngErrors*>(png_get_error_ptr(png));
    snprintf(errors->message, sizeof errors->message, "cannot be decoded as PNG: %s", message);
    png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

const char* png_colour_name(int colour_type) {
    switch (colour_type) {
        case PNG_COLOR_TYPE_GRAY:
            return "grey";
        case PNG_COLOR_TYPE_GRAY_ALPHA:
            return "grey and alpha";
        case PNG_COLOR_TYPE_PALETTE:
            return "palette";
        case PNG_COLOR_TYPE_RGB:
            return "RGB";
        default:
            return "RGBA";
    }
}

// Reads a 16-bit grey PNG file: its size, and its pixels in the machine's
// order unless only the header is wanted. On failure, false with the problem
// in the errors. libpng reports errors by a long jump back into this
// function, which therefore holds no C++ object of its own: the caller owns
// the buffers.
bool read_depth_png(FILE* file, bool header_only, Size& size, Bytes& pixels,
                    std::vector<png_bytep>& rows, PngErrors& errors) {
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, &errors, on_png_error, on_png_warning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        snprintf(errors.message, sizeof errors.message, "cannot start the PNG decoder");
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_init_io(png, file);
    png_read_info(png, info);
    png_uint_32 width = 0, height = 0;
    int bit_depth = 0, colour_type = 0;
    png_get_IHDR(png, info, &width, &height, &bit_depth, &colour_type, nullptr, nullptr, nullptr);
    if (bit_depth != 16 || colour_type != PNG_COLOR_TYPE_GRAY) {
        snprintf(errors.message, sizeof errors.message,
                 "%d-bit %s PNG, but depth needs 16-bit grey", bit_depth,
                 png_colour_name(colour_type));
    } else if (width > kMaxSide || height > kMaxSide) {
        snprintf(errors.message, sizeof errors.message, "%ux%u is larger than %ux%u",
                 (unsigned)width, (unsigned)height, kMaxSide, kMaxSide);
    } else {
        size = {width, height};
        if (!header_only) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            png_set_swap(png);
#endif
            png_set_interlace_handling(png);
            png_read_update_info(png, info);
            pixels.resize((size_t)width * height * 2);
            rows.resize(height);
            for (png_uint_32 y = 0; y < height; y++) rows[y] = &pixels[(size_t)y * width * 2];
            png_read_image(png, rows.data());
            png_read_end(png, nullptr);
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return errors.message[0] == '\0';
}

Bytes depth_png(const std::string& path, bool header_only, Size& size) {
    struct stat st {};
    int fd = open_recording_file(path, st);
    FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        close(fd);
        throw RecordingError(std::string("cannot be read: ") + strerror(errno));
    }
    Bytes pixels;
    std::vector<png_bytep> rows;
    PngErrors errors{};
    bool ok = read_depth_png(file, header_only, size, pixels, rows, errors);
    fclose(file);
    if (!ok) throw RecordingError(errors.message);
    return pixels;
}

}  // namespace

RecordedFrames::RecordedFrames(Kind kind, const std::string& folder, std::vector<std::string> files)
    : kind_(kind), folder_(folder), files_(std::move(files)) {
    auto where = [&](const std::string& what) {
        return RecordingError("recording '" + folder_ + "': " + what);
    };
    kept_.resize(files_.size());
    Decompressor tj(nullptr, tjDestroy);
    Size first;
    for (size_t i = 0; i < files_.size(); i++) {
        std::string path = folder_ + "/" + files_[i];
        Size size;
        try {
            if (kind == Kind::jpeg) {
                if (!tj) tj = jpeg_decompressor();
                auto bytes = std::make_shared<const Bytes>(read_file(path));
                size = jpeg_size(tj.get(), *bytes);
                if (size.width > kMaxSide || size.height > kMaxSide) {
                    throw RecordingError(size_text(size) + " is larger than " +
                                         size_text({kMaxSide, kMaxSide}));
                }
                if (kept_bytes_ + bytes->size() <= kKeptBytes) {
                    kept_bytes_ += bytes->size();
                    kept_[i] = std::move(bytes);
                }
            } else {
                depth_png(path, true, size);
            }
        } catch (const RecordingError& e) {
            throw where(files_[i] + ": " + e.what());
        }
        if (i == 0) {
            first = size;
        } else if (size.width != first.width || size.height != first.height) {
            throw where(files_[i] + ": " + size_text(size) + ", but " + files_[0] + " is " +
                        size_text(first));
        }
    }
    width_ = first.width;
    height_ = first.height;
}

Bytes RecordedFrames::load(size_t index) const {
    std::string path = folder_ + "/" + files_[index];
    try {
        Size size;
        Bytes bytes;
        if (kind_ == Kind::jpeg) {
            bytes = read_file(path);
            size = jpeg_size(jpeg_decompressor().get(), bytes);
        } else {
            bytes = depth_png(path, false, size);
        }
        if (size.width != width_ || size.height != height_) {
            throw RecordingError(size_text(size) + ", but the recording's pictures are " +
                                 size_text({width_, height_}));
        }
        return bytes;
    } catch (const RecordingError& e) {
        throw RecordingError("recording '" + folder_ + "': " + files_[index] + ": " + e.what());
    }
}

std::shared_ptr<const Bytes> RecordedFrames::frame(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    index %= files_.size();
    if (kept_[index]) return kept_[index];
    auto bytes = std::make_shared<const Bytes>(load(index));
    if (kept_bytes_ + bytes->size() <= kKeptBytes) {
        kept_bytes_ += bytes->size();
        kept_[index] = bytes;
    }
    return bytes;
}

namespace {

// The sets that times.txt lists, and their times; false when the folder has
// no times.txt.
bool read_times(Recording& r, std::vector<std::string>& color, std::vector<std::string>& depth) {
    std::string path = r.folder + "/" + vtrec::kTimesFile;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 && errno == ENOENT) return false;
    auto where = [&](const std::string& what) {
        return RecordingError("recording '" + r.folder + "': " + vtrec::kTimesFile + ": " + what);
    };
    vtrec::Times times;
    try {
        Bytes bytes = read_file(path);
        times = vtrec::parse_times(std::string(bytes.begin(), bytes.end()));
    } catch (const std::runtime_error& e) {
        throw where(e.what());
    }
    if (times.sets.empty()) throw where("lists no set");
    for (const vtrec::TimedSet& set : times.sets) {
        color.push_back(vtrec::color_file(set.name));
        depth.push_back(vtrec::depth_file(set.name));
        r.times.push_back(std::chrono::microseconds(set.microseconds));
    }
    if (!times.complete) {
        r.note = "recording '" + r.folder + "' was interrupted; it plays the " +
                 std::to_string(times.sets.size()) + " sets that " + vtrec::kTimesFile + " lists" +
                 (times.leftover.empty() ? "" : ", and not the line after them");
    }
    return true;
}

}  // namespace

Recording open_recording(const std::string& folder) {
    std::error_code ec;
    fs::file_status status = fs::status(folder, ec);
    if (ec || !fs::is_directory(status)) {
        throw RecordingError("recording '" + folder + "': " +
                             (ec ? "cannot be opened: " + ec.message() : "is not a folder"));
    }
    Recording r;
    r.folder = folder;
    std::vector<std::string> color, depth;
    if (!read_times(r, color, depth)) {
        try {
            color = list_files(folder, "color", {".jpg", ".jpeg"}, "JPEG (.jpg)");
            depth = list_files(folder, "depth", {".png"}, "PNG (.png)");
        } catch (const RecordingError& e) {
            throw RecordingError("recording '" + folder + "': " + e.what());
        }
    }
    r.color =
        std::make_shared<RecordedFrames>(RecordedFrames::Kind::jpeg, folder, std::move(color));
    r.depth =
        std::make_shared<RecordedFrames>(RecordedFrames::Kind::depth_png, folder, std::move(depth));
    return r;
}

std::vector<Profile> recorded_profiles(const std::vector<Profile>& profiles, uint32_t width,
                                       uint32_t height) {
    std::vector<Profile> out;
    for (Profile p : profiles) {
        p.width = width;
        p.height = height;
        bool repeated = std::any_of(out.begin(), out.end(), [&](const Profile& q) {
            return q.format == p.format && q.fps == p.fps;
        });
        if (!repeated) out.push_back(p);
    }
    return out;
}

}  // namespace sim
