// Writing a recording (see recording_format.h) while the camera streams: the
// folder and its description are made first, then each set goes through a
// bounded queue to a thread of the writer's own, so that a slow disk costs
// sets of the recording, counted, and never sets of the camera. Each set is
// listed in times.txt only once its two files are whole on the disk, so a
// recording that is killed at any moment plays every set listed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vtrec {

// Sets that wait for the disk at most: two seconds of a 30 fps camera.
constexpr size_t kQueueSets = 60;

struct WriterCounts {
    int written = 0;     // sets in the recording
    int dropped = 0;     // sets that the disk did not take: the queue was full, or a write failed
    int damaged = 0;     // colour that does not decode as JPEG, or depth not two bytes a pixel
    int other_size = 0;  // sizes other than those of the first set written
    uint64_t bytes = 0;  // of the files written
};

struct Writer;

// Whether a recording can be made in the folder: it does not exist yet, or
// it is an empty folder. Otherwise false with the reason in the text.
bool folder_usable(const std::string& folder, std::string& problem);

// Makes the recording: the folder when it does not exist, color/ and depth/,
// scenario.json with the description, an empty times.txt, and the writer's
// thread. Null, with the problem in the text and nothing left, when it cannot.
Writer* start_writer(const std::string& folder, const std::string& description,
                     std::string& problem);

// Hands a set to the writer, which copies its bytes (called from one thread
// only); the time is when the
// set reached the recorder, in microseconds of a steady clock. False when the
// queue is full: the set is dropped and counted.
bool queue_set(Writer* writer, const void* color, size_t color_size, const void* depth,
               size_t depth_size, uint32_t depth_width, uint32_t depth_height,
               int64_t microseconds);

WriterCounts writer_counts(Writer* writer);

// True once a file could not be written, with "cannot write PATH: reason" in
// the text; the writer then writes no more sets.
bool writer_failed(Writer* writer, std::string& problem);

// Writes the sets still queued (unless a write failed) and marks the
// recording complete; with no set written it removes all that start_writer
// made. Frees the writer. False, with the problem in the text, when a file
// could not be written; the sets written stay playable then.
bool finish_writer(Writer* writer, WriterCounts& counts, std::string& problem);

}  // namespace vtrec
