// Frames recorded to files and played back in a loop, instead of the
// synthetic scene (scenario key "stream.source").
//
// A recording is a folder with two sub-folders:
//   color/*.jpg  JPEG pictures, delivered byte for byte as MJPG frames;
//   depth/*.png  16-bit grey PNG pictures, the depth in millimetres,
//                delivered as two bytes per pixel in the machine's order.
// With a times.txt (recording_format.h, as Camrecord writes it) the folder
// plays the sets listed there, paired, at their times. Without one, each
// sub-folder is played in byte-wise name order and loops on its own; other
// files are ignored. All files of a sub-folder have one size; the two
// sub-folders may differ.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "recording_io.h"
#include "scene.h"

namespace sim {

struct RecordingError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The files of one sub-folder. Only the first is read when the recording is
// opened, for the size of the pictures; each file is read, checked and (for
// depth) decoded the first time it plays, and then kept, up to kKeptBytes
// per sub-folder, so that a loop that fits costs no file access or decoding
// after its first pass. Frames beyond that are read each time.
class RecordedFrames : public FrameSource {
  public:
    static constexpr size_t kKeptBytes = size_t{256} << 20;
    enum class Kind { jpeg, depth_png };

    // Checks the first of the files, given relative to the folder (see
    // open_recording); throws RecordingError.
    RecordedFrames(Kind kind, const std::string& folder, std::vector<std::string> files);

    size_t length() const override { return files_.size(); }
    // Throws RecordingError (a std::runtime_error) naming the file when it
    // cannot be read or decoded, or is not of the first one's size.
    std::shared_ptr<const Bytes> frame(size_t index) override;
    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }

  private:
    Bytes read(size_t index) const;
    // The picture's size; for depth with depth given, its samples too.
    vtrec::Size size_of(size_t index, const Bytes& bytes, bool header_only,
                        Bytes* depth = nullptr) const;
    Bytes load(size_t index) const;

    Kind kind_;
    std::string folder_;
    std::vector<std::string> files_;  // "color/0001.jpg", relative to the folder
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    std::mutex mutex_;
    std::vector<std::shared_ptr<const Bytes>> kept_;
    size_t kept_bytes_ = 0;
};

struct Recording {
    std::string folder;
    std::shared_ptr<RecordedFrames> color;
    std::shared_ptr<RecordedFrames> depth;
    // From times.txt: when each set reached the recorder, from the first;
    // empty when the folder has no times.
    std::vector<std::chrono::microseconds> times;
    // For the trace when the recording was interrupted: what it plays.
    std::string note;
    // For standard error when whole lines of times.txt do not play.
    std::string warning;
};

// Opens the recording in the folder: times.txt, when there is one, must list
// at least one set; else both sub-folders must exist and hold at least one
// file each. The first set's colour file must have a readable JPEG header,
// its depth file a 16-bit grey PNG header; the other files are checked when
// they play. Throws RecordingError whose text names the folder, the file and
// the problem.
Recording open_recording(const std::string& folder);

// The profiles as a recording offers them: each keeps its format and frame
// rate and takes the recording's size; an entry that then repeats an earlier
// one is left out.
std::vector<Profile> recorded_profiles(const std::vector<Profile>& profiles, uint32_t width,
                                       uint32_t height);

}  // namespace sim
