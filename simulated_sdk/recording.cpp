#include "recording.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "recording_format.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

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

}  // namespace

RecordedFrames::RecordedFrames(Kind kind, const std::string& folder, std::vector<std::string> files)
    : kind_(kind), folder_(folder), files_(std::move(files)) {
    kept_.resize(files_.size());
    // The first file gives the size; the others are checked when they play.
    vtrec::Size first = size_of(0, read(0), true);
    width_ = first.width;
    height_ = first.height;
}

vtrec::Bytes RecordedFrames::read(size_t index) const {
    try {
        return vtrec::read_file(folder_ + "/" + files_[index]);
    } catch (const vtrec::FileError& e) {
        throw RecordingError("recording '" + folder_ + "': " + files_[index] + ": " + e.what());
    }
}

vtrec::Size RecordedFrames::size_of(size_t index, const Bytes& bytes, bool header_only,
                                    Bytes* depth) const {
    try {
        if (kind_ == Kind::jpeg) return vtrec::jpeg_size(bytes);
        vtrec::Size size;
        Bytes samples = vtrec::decode_depth_png(bytes, header_only, size);
        if (depth != nullptr) *depth = std::move(samples);
        return size;
    } catch (const vtrec::FileError& e) {
        throw RecordingError("recording '" + folder_ + "': " + files_[index] + ": " + e.what());
    }
}

Bytes RecordedFrames::load(size_t index) const {
    Bytes bytes = read(index), depth;
    vtrec::Size size = size_of(index, bytes, false, &depth);
    if (size.width != width_ || size.height != height_) {
        throw RecordingError("recording '" + folder_ + "': " + files_[index] + ": " +
                             vtrec::size_text(size) + ", but " + files_[0] + " is " +
                             vtrec::size_text({width_, height_}));
    }
    return kind_ == Kind::jpeg ? bytes : depth;
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
        Bytes bytes = vtrec::read_file(path);
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
        // A line cut short by the interruption is expected; whole lines
        // that do not play are said on standard error too.
        size_t dropped = (size_t)std::count(times.leftover.begin(), times.leftover.end(), '\n');
        size_t cut = times.leftover.empty() || times.leftover.back() == '\n' ? 0 : 1;
        std::string lines =
            dropped + cut == 1 ? "the line" : std::to_string(dropped + cut) + " lines";
        r.note = "recording '" + r.folder + "' was interrupted; it plays the " +
                 std::to_string(times.sets.size()) + " sets that " + vtrec::kTimesFile + " lists" +
                 (times.leftover.empty() ? "" : ", and not " + lines + " after them");
        if (dropped > 0) {
            r.warning = "recording '" + r.folder + "' was interrupted; it plays the " +
                        std::to_string(times.sets.size()) + " sets before line " +
                        std::to_string(times.leftover_line) + " of " + vtrec::kTimesFile +
                        " and drops the " + std::to_string(dropped + cut) + " lines from there on";
        }
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
