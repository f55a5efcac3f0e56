// Writing a recording (see recording_format.h) while the camera streams: the
// folder and its description are made first, then each set goes through a
// bounded queue to a thread of the writer's own, so that a slow disk costs
// sets of the recording, counted, and never sets of the camera.
//
// The sets are written in groups of kGroupTime (or of kGroupSets, whichever
// is reached first): the files of a group are written under hidden names,
// their data made durable (side by side) and named, the names in color/ and
// depth/ are made durable once, and only then are the group's lines added to
// times.txt (itself made durable). A set is listed only once it is whole on
// the disk, so a recording that is killed, or whose machine loses power,
// plays every set listed; a power cut loses at most the sets not listed
// yet: the last group and those still queued.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vtrec {

// Sets held in memory for the disk at most, the one being written included:
// two seconds of a 30 fps camera.
constexpr size_t kQueueSets = 60;
// The most sets in a recording: their names have six digits.
constexpr int kMostSets = 1000000;
// How long the sets of a group take to come, at most.
constexpr std::chrono::milliseconds kGroupTime{500};
// The most sets in a group, whose files stay open until it is listed: a
// camera faster than 30 fps, or a recording replayed as fast as it is read,
// makes no more of them.
constexpr size_t kGroupSets = 60;

struct WriterCounts {
    int written = 0;     // sets listed in the recording
    int dropped = 0;     // sets that the disk did not take: the queue was full, or a write failed
    int damaged = 0;     // colour that does not decode as JPEG, or depth not two bytes a pixel
    int other_size = 0;  // sizes other than those of the first set written
    uint64_t bytes = 0;  // of the files listed
    bool full = false;   // kMostSets were written; the sets after them were not
};

struct Writer;

// Whether a recording can be made in the folder: it does not exist yet, or
// it is an empty folder (or a symbolic link to one). Otherwise false with
// the reason in the text.
bool folder_usable(const std::string& folder, std::string& problem);

// Makes the recording: the folder when it does not exist, color/ and depth/,
// scenario.json with the description, an empty times.txt, all durable, and
// the writer's thread. A folder that another program made or began to
// record into meanwhile is left as it is. Null, with the problem in the
// text and nothing of its own left, when it cannot.
Writer* start_writer(const std::string& folder, const std::string& description,
                     std::string& problem);

// Hands a set to the writer, which copies its bytes (called from one thread
// only); the time is when the set reached the recorder, in microseconds of a
// steady clock. False when the queue is full: the set is dropped and
// counted.
bool queue_set(Writer* writer, const void* color, size_t color_size, const void* depth,
               size_t depth_size, uint32_t depth_width, uint32_t depth_height,
               int64_t microseconds);

WriterCounts writer_counts(Writer* writer);

// The counts as Camrecord reports them, with the sets that lacked a frame:
// "42 sets, 1.4 s, 12.3 MB, 2 dropped for the disk, 5 skipped (3
// incomplete, 2 damaged)".
std::string counts_text(const WriterCounts& counts, int incomplete, double seconds);

// True once a file could not be written, with "cannot write PATH: reason" in
// the text; the writer then writes no more sets.
bool writer_failed(Writer* writer, std::string& problem);

// Writes the sets still queued (unless a write failed) and, when the
// recording is complete (the recorder chose to end it), marks it so; with
// no set written it removes all that start_writer made. Frees the writer.
// False, with the problem in the text, when a file could not be written;
// the sets listed stay playable then.
bool finish_writer(Writer* writer, bool complete, WriterCounts& counts, std::string& problem);

}  // namespace vtrec
