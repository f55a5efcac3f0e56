#include "recording_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "recording_format.h"
#include "recording_io.h"

namespace vtrec {

namespace {

using Clock = std::chrono::steady_clock;
// Threads that sync a group's files side by side.
constexpr size_t kSyncThreads = 8;

struct PendingSet {
    Bytes color;
    Bytes depth;
    Size depth_size;
    int64_t microseconds;
};

}  // namespace

struct Writer {
    std::string folder;
    // What start_writer made, and so what a recording of no set removes.
    bool made_folder = false, made_color = false, made_depth = false, made_description = false,
         made_times = false;
    int times_fd = -1;
    off_t times_size = 0;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<PendingSet> queue;
    bool writing = false;  // the writer's thread holds a set taken from the queue
    bool closing = false;
    bool failed = false;
    std::string problem;
    WriterCounts counts;

    // Used by the writer's thread only.
    bool sizes_known = false;
    Size color_size, depth_size;
    int64_t first_time = 0;
    int next_number = 0;               // of the next set written
    std::vector<std::string> group;    // names of the sets written and not listed yet
    std::vector<NewFile> group_files;  // their files, still under hidden names
    std::string group_lines;           // their lines
    uint64_t group_bytes = 0;          // and their files' sizes
    Clock::time_point group_started;   // when its first set was written
    std::thread thread;
};

namespace {

enum class Outcome { written, damaged, other_size, failed };

// Writes a set's two files under hidden names and adds it to the group. A
// set that fails leaves nothing.
Outcome write_set(Writer& w, const PendingSet& set, std::string& problem) {
    Size color;
    try {
        color = jpeg_size(set.color, true);
    } catch (const FileError&) {
        return Outcome::damaged;
    }
    Size depth = set.depth_size;
    if (depth.width == 0 || depth.height == 0 || depth.width > kMaxSide ||
        depth.height > kMaxSide || (uint64_t)depth.width * depth.height * 2 != set.depth.size()) {
        return Outcome::damaged;
    }
    if (!w.sizes_known) {
        w.sizes_known = true;
        w.color_size = color;
        w.depth_size = depth;
        w.first_time = set.microseconds;
    } else if (color.width != w.color_size.width || color.height != w.color_size.height ||
               depth.width != w.depth_size.width || depth.height != w.depth_size.height) {
        return Outcome::other_size;
    }
    std::string name = set_name((uint64_t)w.next_number);
    Bytes png = encode_depth_png(set.depth.data(), depth);
    NewFile color_file_, depth_file_;
    if (!write_hidden(w.folder + "/" + color_file(name), set.color.data(), set.color.size(),
                      color_file_, problem)) {
        return Outcome::failed;
    }
    if (!write_hidden(w.folder + "/" + depth_file(name), png.data(), png.size(), depth_file_,
                      problem)) {
        discard(color_file_);
        return Outcome::failed;
    }
    w.group_files.push_back(color_file_);
    w.group_files.push_back(depth_file_);
    if (w.group.empty()) w.group_started = Clock::now();
    w.group.push_back(name);
    w.group_lines += times_line(name, set.microseconds - w.first_time);
    w.group_bytes += set.color.size() + png.size();
    w.next_number++;
    return Outcome::written;
}

// Makes the data of the group's files durable and gives them their names.
// The files are synced side by side, so that a disk that takes long for each
// sync (a memory card) takes it once for many. False with the problem.
bool name_group_files(Writer& w, std::string& problem) {
    size_t threads = std::min<size_t>(kSyncThreads, w.group_files.size());
    std::vector<std::string> problems(threads);
    std::vector<std::thread> syncers;
    for (size_t t = 0; t < threads; t++) {
        syncers.emplace_back([&w, &problems, t, threads] {
            for (size_t i = t; i < w.group_files.size(); i += threads) {
                std::string why;
                if (!sync_and_name(w.group_files[i], why) && problems[t].empty()) problems[t] = why;
            }
        });
    }
    for (std::thread& t : syncers) t.join();
    for (const std::string& why : problems) {
        if (!why.empty()) problem = why;
    }
    return problem.empty();
}

// Lists the group's sets: their files' data durable and named, the names in
// color/ and depth/ made durable, then the lines added to times.txt and made
// durable. False with the problem when that fails; the group's files are
// removed then.
bool list_group(Writer& w, std::string& problem) {
    if (w.group.empty()) return true;
    auto cannot_write = [&problem](const std::string& path) {
        problem = "cannot write " + path + ": " + strerror(errno);
        return false;
    };
    bool ok = name_group_files(w, problem);
    for (const char* sub : {"/color", "/depth"}) {
        ok = ok && (sync_folder(w.folder + sub) || cannot_write(w.folder + sub));
    }
    if (ok && (!write_all(w.times_fd, w.group_lines.data(), w.group_lines.size()) ||
               fdatasync(w.times_fd) != 0)) {
        ok = cannot_write(w.folder + "/" + kTimesFile);
        // A part of a line would be taken for a set in flight; none is cleaner.
        if (ftruncate(w.times_fd, w.times_size) == 0) fdatasync(w.times_fd);
    }
    if (ok) {
        w.times_size += (off_t)w.group_lines.size();
    } else {
        for (NewFile& file : w.group_files) discard(file);
    }
    std::lock_guard<std::mutex> lock(w.mutex);
    if (ok) {
        w.counts.written += (int)w.group.size();
        w.counts.bytes += w.group_bytes;
    } else {
        w.counts.dropped += (int)w.group.size();
    }
    w.group.clear();
    w.group_files.clear();
    w.group_lines.clear();
    w.group_bytes = 0;
    return ok;
}

void write_sets(Writer* w) {
    std::unique_lock<std::mutex> lock(w->mutex);
    for (;;) {
        auto ready = [w] { return w->closing || !w->queue.empty(); };
        if (w->group.empty()) {
            w->changed.wait(lock, ready);
        } else {
            w->changed.wait_until(lock, w->group_started + kGroupTime, ready);
        }
        bool group_due = w->group.size() >= kGroupSets ||
                         (!w->group.empty() && Clock::now() >= w->group_started + kGroupTime);
        if (w->queue.empty() || group_due) {
            lock.unlock();
            std::string problem;
            bool listed = list_group(*w, problem);
            lock.lock();
            if (!listed && !w->failed) {
                w->failed = true;
                w->problem = problem;
            }
            if (w->queue.empty() && w->closing) return;
            continue;
        }
        PendingSet set = std::move(w->queue.front());
        w->queue.pop_front();
        if (w->failed || w->counts.full) {
            if (w->failed) w->counts.dropped++;
            continue;
        }
        if (w->next_number == kMostSets) {
            w->counts.full = true;
            continue;
        }
        w->writing = true;
        lock.unlock();
        std::string problem;
        Outcome outcome = write_set(*w, set, problem);
        lock.lock();
        w->writing = false;
        if (outcome == Outcome::damaged) w->counts.damaged++;
        if (outcome == Outcome::other_size) w->counts.other_size++;
        if (outcome == Outcome::failed) {
            w->counts.dropped++;
            w->failed = true;
            w->problem = problem;
        }
    }
}

// Removes what start_writer made.
void remove_recording(Writer* w) {
    if (w->made_description) unlink((w->folder + "/" + kDescriptionFile).c_str());
    if (w->made_times) unlink((w->folder + "/" + kTimesFile).c_str());
    if (w->made_color) rmdir((w->folder + "/color").c_str());
    if (w->made_depth) rmdir((w->folder + "/depth").c_str());
    if (w->made_folder) rmdir(w->folder.c_str());
}

// Makes the folder's parts, all durable; false with the problem.
bool make_recording(Writer* w, const std::string& description, std::string& problem) {
    const std::string& folder = w->folder;
    // Whoever makes color/ records into the folder.
    if (mkdir((folder + "/color").c_str(), 0777) != 0) {
        problem = errno == EEXIST
                      ? "cannot record into " + folder + ": another recording began in it meanwhile"
                      : "cannot make the folder " + folder + "/color: " + strerror(errno);
        return false;
    }
    w->made_color = true;
    if (mkdir((folder + "/depth").c_str(), 0777) != 0) {
        problem = "cannot make the folder " + folder + "/depth: " + strerror(errno);
        return false;
    }
    w->made_depth = true;
    // The description first, whole under its own name, so that a recording
    // killed at any moment still describes its camera.
    if (!write_new_file(folder + "/" + kDescriptionFile, description.data(), description.size(),
                        problem)) {
        return false;
    }
    w->made_description = true;
    std::string times = folder + "/" + kTimesFile;
    w->times_fd = open_file(times, O_WRONLY | O_CREAT | O_EXCL | O_APPEND, 0666);
    if (w->times_fd < 0) {
        problem = "cannot write " + times + ": " + strerror(errno);
        return false;
    }
    w->made_times = true;
    // The names in the folder, and the folder's own name in its parent.
    std::string parent = std::filesystem::path(folder).parent_path().string();
    if (!sync_folder(folder) || (w->made_folder && !sync_folder(parent.empty() ? "." : parent))) {
        problem = "cannot write " + folder + ": " + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

bool folder_usable(const std::string& folder, std::string& problem) {
    std::error_code ec;
    std::filesystem::file_status status = std::filesystem::status(folder, ec);
    if (status.type() == std::filesystem::file_type::not_found) return true;
    if (ec) {
        problem = ec.message();
        return false;
    }
    if (status.type() != std::filesystem::file_type::directory) {
        problem = "it exists and is not a folder";
        return false;
    }
    bool empty = std::filesystem::is_empty(folder, ec);
    if (ec) {
        problem = ec.message();
        return false;
    }
    if (!empty) problem = "it is not empty; give a new or an empty folder";
    return empty;
}

Writer* start_writer(const std::string& folder, const std::string& description,
                     std::string& problem) {
    if (!folder_usable(folder, problem)) {
        problem = "cannot record into " + folder + ": " + problem;
        return nullptr;
    }
    Writer* w = new Writer;
    w->folder = folder;
    struct stat st;
    bool exists = stat(folder.c_str(), &st) == 0;
    if (!exists && mkdir(folder.c_str(), 0777) != 0) {
        problem = errno == EEXIST
                      ? "cannot record into " + folder + ": another program made it meanwhile"
                      : "cannot make the folder " + folder + ": " + strerror(errno);
        delete w;
        return nullptr;
    }
    w->made_folder = !exists;
    if (!make_recording(w, description, problem)) {
        if (w->times_fd >= 0) close(w->times_fd);
        remove_recording(w);
        delete w;
        return nullptr;
    }
    w->thread = std::thread(write_sets, w);
    return w;
}

bool queue_set(Writer* w, const void* color, size_t color_size, const void* depth,
               size_t depth_size, uint32_t depth_width, uint32_t depth_height,
               int64_t microseconds) {
    {
        std::lock_guard<std::mutex> lock(w->mutex);
        if (w->queue.size() + (w->writing ? 1 : 0) >= kQueueSets || w->failed) {
            w->counts.dropped++;
            return false;
        }
    }
    // Copied without the lock, which the writer's thread takes too; only
    // this thread adds to the queue, so its place is still free.
    const uint8_t* c = (const uint8_t*)color;
    const uint8_t* d = (const uint8_t*)depth;
    PendingSet set{Bytes(c, c + color_size),
                   Bytes(d, d + depth_size),
                   {depth_width, depth_height},
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

std::string counts_text(const WriterCounts& c, int incomplete, double seconds) {
    char line[256];
    snprintf(line, sizeof line, "%d sets, %.1f s, %.1f MB", c.written, seconds, c.bytes / 1e6);
    std::string text = line;
    if (c.dropped > 0) text += ", " + std::to_string(c.dropped) + " dropped for the disk";
    std::string why;
    const std::pair<int, const char*> reasons[] = {
        {incomplete, "incomplete"}, {c.damaged, "damaged"}, {c.other_size, "of another size"}};
    for (const auto& reason : reasons) {
        if (reason.first > 0)
            why += (why.empty() ? "" : ", ") + std::to_string(reason.first) + " " + reason.second;
    }
    int skipped = incomplete + c.damaged + c.other_size;
    if (skipped > 0) text += ", " + std::to_string(skipped) + " skipped (" + why + ")";
    return text;
}

bool writer_failed(Writer* w, std::string& problem) {
    std::lock_guard<std::mutex> lock(w->mutex);
    problem = w->problem;
    return w->failed;
}

bool finish_writer(Writer* w, bool complete, WriterCounts& counts, std::string& problem) {
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
        if (ok && complete &&
            (!write_all(w->times_fd, end.data(), end.size()) || fdatasync(w->times_fd) != 0)) {
            problem = "cannot write " + w->folder + "/" + kTimesFile + ": " + strerror(errno);
            ok = false;
        }
        close(w->times_fd);
    }
    delete w;
    return ok;
}

}  // namespace vtrec
