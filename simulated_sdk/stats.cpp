#include "stats.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

namespace sim {

namespace {

constexpr size_t kLatencyBins = 20000;

}  // namespace

void Stats::add_latency(double ms) {
    if (latency_bins.empty()) latency_bins.assign(kLatencyBins, 0);
    size_t bin = ms <= 0 ? 0 : std::min(kLatencyBins - 1, (size_t)(ms * 10));
    latency_bins[bin]++;
}

double Stats::latency_percentile(double p) const {
    uint64_t total = 0;
    for (uint32_t n : latency_bins) total += n;
    if (total == 0) return 0;
    uint64_t seen = 0;
    for (size_t bin = 0; bin < latency_bins.size(); bin++) {
        seen += latency_bins[bin];
        if (seen >= std::ceil(p * total)) return (bin + 1) / 10.0;  // upper edge of the bin
    }
    return kLatencyBins / 10.0;
}

std::string Stats::json() const {
    nlohmann::ordered_json j;
    j["framesets_delivered"] = framesets_delivered;
    j["framesets_released"] = framesets_released;
    j["framesets_alive_peak"] = framesets_alive_peak;
    j["framesets_read"] = framesets_read;
    j["framesets_discarded"] = framesets_discarded;
    j["frames_extracted"] = frames_extracted;
    j["frames_released"] = frames_released;
    j["frames_read"] = frames_read;
    j["leaked_framesets"] = framesets_alive;
    j["leaked_frames"] = frames_alive;
    j["latency_ms_p50"] = latency_percentile(0.50);
    j["latency_ms_p99"] = latency_percentile(0.99);
    return j.dump(2) + "\n";
}

}  // namespace sim
