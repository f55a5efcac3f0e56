#include "recording_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "recording_format.h"

namespace vtrec {

namespace {

using Bytes = std::vector<uint8_t>;

struct PendingSet {
    Bytes color;
    Bytes depth;
    uint32_t depth_width;
    uint32_t depth_height;
    int64_t microseconds;
};

std::string error_text(int error) {
    return strerror(error);
}

bool write_all(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        data += n;
        size -= (size_t)n;
    }
    return true;
}

// Writes a new file (never replacing one) and makes its data durable; false
// with errno set.
bool write_new_file(const std::string& path, const uint8_t* data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = write_all(fd, data, size) && fdatasync(fd) == 0;
    int saved = errno;
    if (close(fd) != 0 && ok) return false;
    errno = saved;
    return ok;
}

void sync_folder(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

struct PngError {
    char message[200];
};

void on_png_error(png_structp png, png_const_charp message) {
    PngError* e = (PngError*)png_get_error_ptr(png);
    snprintf(e->message, sizeof e->message, "%s", message);
    png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

// Encodes 16-bit samples in the machine's byte order as a grey PNG into the
// open file. libpng reports errors by a long jump back here, so the function
// holds no object with a destructor; the caller owns the rows.
bool write_depth_png(FILE* file, png_bytep* rows, uint32_t width, uint32_t height, PngError& e) {
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &e, on_png_error, on_png_warning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        snprintf(e.message, sizeof e.message, "out of memory");
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    // Fast rather than small: the frames keep coming while one is written.
    png_set_compression_level(png, 1);
    png_set_filter(png, 0, PNG_FILTER_UP);
    png_set_IHDR(png, info, width, height, 16, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
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

// Writes a new PNG file and makes it durable; false with the problem in the text.
bool write_png_file(const std::string& path, const PendingSet& set, std::string& problem) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    FILE* file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (file == nullptr) {
        problem = error_text(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    std::vector<png_bytep> rows(set.depth_height);
    for (uint32_t y = 0; y < set.depth_height; y++) {
        rows[y] = (png_bytep)(set.depth.data() + (size_t)y * set.depth_width * 2);
    }
    PngError e{};
    errno = 0;
    bool ok = write_depth_png(file, rows.data(), set.depth_width, set.depth_height, e) &&
              fflush(file) == 0 && fdatasync(fd) == 0;
    // libpng's own messages say little about a failed write; errno says why.
    int saved = errno;
    if (!ok) problem = saved != 0 ? error_text(saved) : e.message;
    if (fclose(file) != 0 && ok) {
        problem = error_text(errno);
        ok = false;
    }
    return ok;
}

// Whether the bytes decode as a JPEG picture, and its size. A fresh decoder
// each time: one that failed may misread the next picture. The picture is
// decoded at an eighth of its size, which reads all of its data.
bool jpeg_decodes(const Bytes& jpeg, int& width, int& height) {
    tjhandle tj = tjInitDecompress();
    if (tj == nullptr) return false;
    int subsampling = 0, colorspace = 0;
    bool ok = tjDecompressHeader3(tj, jpeg.data(), (unsigned long)jpeg.size(), &width, &height,
                                  &subsampling, &colorspace) == 0 &&
              width > 0 && height > 0 && width <= 16384 && height <= 16384;
    if (ok) {
        tjscalingfactor eighth{1, 8};
        int w = TJSCALED(width, eighth), h = TJSCALED(height, eighth);
        Bytes pixels((size_t)w * h);
        ok = tjDecompress2(tj, jpeg.data(), (unsigned long)jpeg.size(), pixels.data(), w, 0, h,
                           TJPF_GRAY, TJFLAG_FASTDCT) == 0;
    }
    tjDestroy(tj);
    return ok;
}

}  // namespace

struct Writer {
    std::string folder;
    bool made_folder = false;
    int times_fd = -1;
    off_t times_size = 0;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<PendingSet> queue;
    bool closing = false;
    bool failed = false;
    std::string problem;
    WriterCounts counts;

    // Used by the writer's thread only.
    bool sizes_known = false;
    int color_width = 0, color_height = 0;
    uint32_t depth_width = 0, depth_height = 0;
    int64_t first_time = 0;
    std::thread thread;
};

namespace {

enum class Outcome { written, damaged, other_size, failed };

// Writes a set: both files under hidden names, made durable and renamed,
// then its line in times.txt. A set that fails leaves nothing.
Outcome write_set(Writer& w, const PendingSet& set, std::string& problem) {
    int width = 0, height = 0;
    if (!jpeg_decodes(set.color, width, height) || set.depth_width == 0 || set.depth_height == 0 ||
        set.depth_width > 16384 || set.depth_height > 16384 ||
        (uint64_t)set.depth_width * set.depth_height * 2 != set.depth.size()) {
        return Outcome::damaged;
    }
    if (!w.sizes_known) {
        w.sizes_known = true;
        w.color_width = width;
        w.color_height = height;
        w.depth_width = set.depth_width;
        w.depth_height = set.depth_height;
        w.first_time = set.microseconds;
    } else if (width != w.color_width || height != w.color_height ||
               set.depth_width != w.depth_width || set.depth_height != w.depth_height) {
        return Outcome::other_size;
    }
    std::string name = set_name((uint64_t)w.counts.written);
    std::string color = w.folder + "/" + color_file(name);
    std::string depth = w.folder + "/" + depth_file(name);
    std::string color_temp = w.folder + "/color/." + name + ".jpg.part";
    std::string depth_temp = w.folder + "/depth/." + name + ".png.part";
    std::string line = times_line(name, set.microseconds - w.first_time);
    std::string failed_path;
    if (!write_new_file(color_temp, set.color.data(), set.color.size())) {
        failed_path = color;
        problem = error_text(errno);
    } else if (!write_png_file(depth_temp, set, problem)) {
        failed_path = depth;
    } else if (rename(color_temp.c_str(), color.c_str()) != 0) {
        failed_path = color;
        problem = error_text(errno);
    } else if (rename(depth_temp.c_str(), depth.c_str()) != 0) {
        failed_path = depth;
        problem = error_text(errno);
    } else {
        ssize_t n = write(w.times_fd, line.data(), line.size());
        if (n != (ssize_t)line.size()) {
            failed_path = w.folder + "/" + kTimesFile;
            problem = error_text(n < 0 ? errno : ENOSPC);
            // A part of the line would be taken for a set in flight; none is cleaner.
            int ignored = ftruncate(w.times_fd, w.times_size);
            (void)ignored;
        }
    }
    if (!failed_path.empty()) {
        problem = "cannot write " + failed_path + ": " + problem;
        for (const std::string& path : {color_temp, depth_temp, color, depth}) unlink(path.c_str());
        return Outcome::failed;
    }
    w.times_size += (off_t)line.size();
    struct stat st;
    uint64_t bytes = set.color.size();
    if (stat(depth.c_str(), &st) == 0) bytes += (uint64_t)st.st_size;
    std::lock_guard<std::mutex> lock(w.mutex);
    w.counts.bytes += bytes;
    return Outcome::written;
}

void write_sets(Writer* w) {
    std::unique_lock<std::mutex> lock(w->mutex);
    for (;;) {
        w->changed.wait(lock, [w] { return w->closing || !w->queue.empty(); });
        if (w->queue.empty()) return;
        PendingSet set = std::move(w->queue.front());
        w->queue.pop_front();
        if (w->failed) {
            w->counts.dropped++;
            continue;
        }
        lock.unlock();
        std::string problem;
        Outcome outcome = write_set(*w, set, problem);
        lock.lock();
        switch (outcome) {
            case Outcome::written:
                w->counts.written++;
                break;
            case Outcome::damaged:
                w->counts.damaged++;
                break;
            case Outcome::other_size:
                w->counts.other_size++;
                break;
            case Outcome::failed:
                w->counts.dropped++;
                w->failed = true;
                w->problem = problem;
                break;
        }
    }
}

// Removes what start_writer made.
void remove_recording(Writer* w) {
    for (const char* name : {kDescriptionFile, kTimesFile})
        unlink((w->folder + "/" + name).c_str());
    rmdir((w->folder + "/color").c_str());
    rmdir((w->folder + "/depth").c_str());
    if (w->made_folder) rmdir(w->folder.c_str());
}

}  // namespace

bool folder_usable(const std::string& folder, std::string& problem) {
    struct stat st;
    if (lstat(folder.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;
        problem = error_text(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        problem = "it exists and is not a folder";
        return false;
    }
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        problem = error_text(errno);
        return false;
    }
    bool empty = true;
    while (struct dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) empty = false;
    }
    closedir(dir);
    if (!empty) problem = "it is not empty; give a new or an empty folder";
    return empty;
}

Writer* start_writer(const std::string& folder, const std::string& description,
                     std::string& problem) {
    Writer* w = new Writer;
    w->folder = folder;
    if (mkdir(folder.c_str(), 0777) == 0) {
        w->made_folder = true;
    } else if (errno != EEXIST || !folder_usable(folder, problem)) {
        if (problem.empty())
            problem = "cannot make the folder " + folder + ": " + error_text(errno);
        else
            problem = "cannot record into " + folder + ": " + problem;
        delete w;
        return nullptr;
    }
    // The description first, whole and durable under its own name, so that
    // a recording killed at any moment still describes its camera.
    std::string description_path = folder + "/" + kDescriptionFile;
    std::string temp = folder + "/.scenario.json.part";
    std::string failed_path;
    for (const char* sub : {"/color", "/depth"}) {
        if (failed_path.empty() && mkdir((folder + sub).c_str(), 0777) != 0) {
            problem = "cannot make the folder " + folder + sub + ": " + error_text(errno);
            failed_path = folder + sub;
        }
    }
    if (failed_path.empty() &&
        (!write_new_file(temp, (const uint8_t*)description.data(), description.size()) ||
         rename(temp.c_str(), description_path.c_str()) != 0)) {
        failed_path = description_path;
    }
    if (failed_path.empty()) {
        w->times_fd = open((folder + "/" + kTimesFile).c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
        if (w->times_fd < 0) failed_path = folder + "/" + kTimesFile;
    }
    if (!failed_path.empty()) {
        if (problem.empty()) problem = "cannot write " + failed_path + ": " + error_text(errno);
        unlink(temp.c_str());
        remove_recording(w);
        delete w;
        return nullptr;
    }
    sync_folder(folder);
    // The writer leaves the stop signals to the program's own thread.
    sigset_t stops, old;
    sigemptyset(&stops);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, s);
    pthread_sigmask(SIG_BLOCK, &stops, &old);
    w->thread = std::thread(write_sets, w);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return w;
}

bool queue_set(Writer* w, const void* color, size_t color_size, const void* depth,
               size_t depth_size, uint32_t depth_width, uint32_t depth_height,
               int64_t microseconds) {
    {
        std::lock_guard<std::mutex> lock(w->mutex);
        if (w->queue.size() >= kQueueSets || w->failed) {
            w->counts.dropped++;
            return false;
        }
    }
    // Copied without the lock, which the writer's thread takes too; only
    // this thread adds to the queue, so its place is still free.
    const uint8_t* c = (const uint8_t*)color;
    const uint8_t* d = (const uint8_t*)depth;
    PendingSet set{Bytes(c, c + color_size), Bytes(d, d + depth_size), depth_width, depth_height,
                   microseconds};
    std::lock_guard<std::mutex> lock(w->mutex);
    w->queue.push_back(std::move(set));
    w->changed.notify_one();
    return true;
}

WriterCounts writer_counts(Writer* w) {
    std::lock_guard<std::mutex> lock(w->mutex);
    return w->counts;
}

bool writer_failed(Writer* w, std::string& problem) {
    std::lock_guard<std::mutex> lock(w->mutex);
    problem = w->problem;
    return w->failed;
}

bool finish_writer(Writer* w, WriterCounts& counts, std::string& problem) {
    {
        std::lock_guard<std::mutex> lock(w->mutex);
        w->closing = true;
    }
    w->changed.notify_one();
    w->thread.join();
    counts = w->counts;
    bool ok = !w->failed;
    if (!ok) problem = w->problem;
    if (counts.written == 0) {
        close(w->times_fd);
        remove_recording(w);
    } else {
        std::string end = std::string(kEndLine) + "\n";
        if (write(w->times_fd, end.data(), end.size()) != (ssize_t)end.size() ||
            fdatasync(w->times_fd) != 0) {
            if (ok)
                problem = "cannot write " + w->folder + "/" + kTimesFile + ": " + error_text(errno);
            ok = false;
        }
        close(w->times_fd);
        for (const char* sub : {"/color", "/depth", ""}) sync_folder(w->folder + sub);
    }
    delete w;
    return ok;
}

}  // namespace vtrec
