// The frame statistics of VANTRA_SIM_STATS: what was delivered, read,
// released and leaked, and how old frames were when their data was fetched.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Counts of frames and frame sets, written as JSON when a pipeline is deleted.
struct Stats {
    uint64_t framesets_delivered = 0;
    uint64_t framesets_released = 0;
    uint64_t framesets_alive = 0;
    uint64_t framesets_alive_peak = 0;
    uint64_t framesets_read = 0;
    uint64_t framesets_discarded = 0;
    uint64_t frames_extracted = 0;
    uint64_t frames_released = 0;
    uint64_t frames_alive = 0;
    uint64_t frames_read = 0;
    std::vector<uint32_t> latency_bins;  // tenths of a millisecond, up to 2 s

    void add_latency(double ms);
    double latency_percentile(double p) const;
    std::string json() const;
};

}  // namespace sim
