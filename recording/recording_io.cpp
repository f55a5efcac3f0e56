#include "recording_io.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vtrec {

int open_file(const std::string& path, int flags, mode_t mode) {
    int fd = open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0 || fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int error = errno;
    close(fd);
    errno = error;
    return moved;
}

bool write_all(int fd, const void* data, size_t size) {
    const uint8_t* at = (const uint8_t*)data;
    while (size > 0) {
        ssize_t n = write(fd, at, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        at += n;
        size -= (size_t)n;
    }
    return true;
}

bool write_hidden(const std::string& path, const void* data, size_t size, NewFile& file,
                  std::string& problem) {
    size_t slash = path.rfind('/') + 1;  // 0 when there is none
    file.path = path;
    file.temp = path.substr(0, slash) + "." + path.substr(slash) + ".part";
    file.fd = open_file(file.temp, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (file.fd >= 0 && write_all(file.fd, data, size)) return true;
    problem = "cannot write " + path + ": " + strerror(errno);
    if (file.fd >= 0) discard(file);
    return false;
}

bool sync_and_name(NewFile& file, std::string& problem) {
    bool ok = fdatasync(file.fd) == 0;
    int error = errno;
    if (close(file.fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    file.fd = -1;
    // A link, not a rename: a file of that name that appeared meanwhile stays.
    if (ok && link(file.temp.c_str(), file.path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    file.named = ok;
    unlink(file.temp.c_str());
    if (!ok) problem = "cannot write " + file.path + ": " + strerror(error);
    return ok;
}

void discard(NewFile& file) {
    if (file.fd >= 0) close(file.fd);
    file.fd = -1;
    unlink(file.temp.c_str());
    if (file.named) unlink(file.path.c_str());
    file.named = false;
}

bool write_new_file(const std::string& path, const void* data, size_t size, std::string& problem) {
    NewFile file;
    return write_hidden(path, data, size, file, problem) && sync_and_name(file, problem);
}

bool sync_folder(const std::string& path) {
    int fd = open_file(path, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    int error = errno;
    close(fd);
    errno = error;
    return ok;
}

Bytes read_file(const std::string& path) {
    // Without O_NONBLOCK, opening a FIFO would wait for a writer.
    int fd = open_file(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) throw FileError(std::string("cannot be read: ") + strerror(errno));
    struct stat st {};
    std::string why;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "is not a regular file";
    } else if ((uint64_t)st.st_size > kMaxFileBytes) {
        why = "is larger than 1 GiB";
    }
    Bytes bytes;
    if (why.empty()) {
        bytes.resize((size_t)st.st_size);
        size_t got = 0;
        for (;;) {
            if (got == bytes.size()) bytes.resize(got + 65536);  // it grew since fstat
            ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) why = std::string("cannot be read: ") + strerror(errno);
            if (n <= 0) break;
            got += (size_t)n;
            if (got > kMaxFileBytes) why = "is larger than 1 GiB";
            if (got > kMaxFileBytes) break;
        }
        bytes.resize(got);
    }
    close(fd);
    if (!why.empty()) throw FileError(why);
    return bytes;
}

std::string size_text(Size size) {
    return std::to_string(size.width) + "x" + std::to_string(size.height);
}

Size jpeg_size(const Bytes& jpeg, bool whole) {
    // A fresh decoder each time: one that failed may misread the next picture.
    std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitDecompress(), tjDestroy);
    if (!tj) throw FileError("cannot start the JPEG decoder");
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(tj.get(), jpeg.data(), (unsigned long)jpeg.size(), &width, &height,
                            &subsampling, &colorspace) != 0) {
        throw FileError(std::string("not a JPEG picture: ") + tjGetErrorStr2(tj.get()));
    }
    Size size{(uint32_t)width, (uint32_t)height};
    if (width <= 0 || height <= 0 || size.width > kMaxSide || size.height > kMaxSide) {
        throw FileError(size_text(size) + " is larger than " + size_text({kMaxSide, kMaxSide}));
    }
    if (whole) {
        tjscalingfactor eighth{1, 8};
        int w = TJSCALED(width, eighth), h = TJSCALED(height, eighth);
        Bytes pixels((size_t)w * h);
        if (tjDecompress2(tj.get(), jpeg.data(), (unsigned long)jpeg.size(), pixels.data(), w, 0, h,
                          TJPF_GRAY, TJFLAG_FASTDCT) != 0) {
            throw FileError(std::string("not a JPEG picture: ") + tjGetErrorStr2(tj.get()));
        }
    }
    return size;
}

namespace {

// libpng reports errors by a long jump back into the function that set it
// up; such functions hold no C++ object of their own.
struct PngState {
    char message[256];
    const Bytes* in;
    size_t at;
    Bytes* out;
};

void on_png_error(png_structp png, png_const_charp message) {
    PngState* s = (PngState*)png_get_error_ptr(png);
    snprintf(s->message, sizeof s->message, "cannot be decoded as PNG: %s", message);
    png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

void png_read_bytes(png_structp png, png_bytep data, size_t length) {
    PngState* s = (PngState*)png_get_io_ptr(png);
    if (s->in->size() - s->at < length) png_error(png, "the file ends too soon");
    memcpy(data, s->in->data() + s->at, length);
    s->at += length;
}

void png_write_bytes(png_structp png, png_bytep data, size_t length) {
    PngState* s = (PngState*)png_get_io_ptr(png);
    s->out->insert(s->out->end(), data, data + length);
}

void png_flush(png_structp) {}

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

bool encode(PngState& s, png_bytep* rows, Size size) {
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &s, on_png_error, on_png_warning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        snprintf(s.message, sizeof s.message, "cannot start the PNG encoder");
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &s, png_write_bytes, png_flush);
    // Fast rather than small: the frames keep coming while one is written.
    png_set_compression_level(png, 1);
    png_set_filter(png, 0, PNG_FILTER_UP);
    png_set_IHDR(png, info, size.width, size.height, 16, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    png_set_swap(png);  // PNG keeps 16-bit samples most significant byte first
#endif
    png_write_image(png, rows);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

bool decode(PngState& s, bool header_only, Size& size, std::vector<png_bytep>& rows) {
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, &s, on_png_error, on_png_warning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        snprintf(s.message, sizeof s.message, "cannot start the PNG decoder");
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &s, png_read_bytes);
    png_read_info(png, info);
    png_uint_32 width = 0, height = 0;
    int bit_depth = 0, colour_type = 0;
    png_get_IHDR(png, info, &width, &height, &bit_depth, &colour_type, nullptr, nullptr, nullptr);
    if (bit_depth != 16 || colour_type != PNG_COLOR_TYPE_GRAY) {
        snprintf(s.message, sizeof s.message, "%d-bit %s PNG, but depth needs 16-bit grey",
                 bit_depth, png_colour_name(colour_type));
    } else if (width > kMaxSide || height > kMaxSide) {
        snprintf(s.message, sizeof s.message, "%ux%u is larger than %ux%u", (unsigned)width,
                 (unsigned)height, kMaxSide, kMaxSide);
    } else {
        size = {width, height};
        if (!header_only) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            png_set_swap(png);
#endif
            png_set_interlace_handling(png);
            png_read_update_info(png, info);
            s.out->resize((size_t)width * height * 2);
            rows.resize(height);
            for (png_uint_32 y = 0; y < height; y++) rows[y] = &(*s.out)[(size_t)y * width * 2];
            png_read_image(png, rows.data());
            png_read_end(png, nullptr);
        }
        png_destroy_read_struct(&png, &info, nullptr);
        return true;
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
}

}  // namespace

Bytes encode_depth_png(const uint8_t* samples, Size size) {
    Bytes out;
    std::vector<png_bytep> rows(size.height);
    for (uint32_t y = 0; y < size.height; y++) {
        rows[y] = (png_bytep)(samples + (size_t)y * size.width * 2);
    }
    PngState s{};
    s.out = &out;
    if (!encode(s, rows.data(), size)) throw FileError(s.message);
    return out;
}

Bytes decode_depth_png(const Bytes& png, bool header_only, Size& size) {
    Bytes samples;
    std::vector<png_bytep> rows;
    PngState s{};
    s.in = &png;
    s.out = &samples;
    if (!decode(s, header_only, size, rows)) throw FileError(s.message);
    return samples;
}

}  // namespace vtrec
