// The simulated SDK's entry points for the tests and fuzz targets, which link
// its code as the internal static library vantra_sim. The shared library does
// not export them: a program written against the real SDK cannot use them.
#pragma once

#include <cstdint>

#include "vantra_sdk.h"

namespace sim {

// Makes a frame handle with the given properties and a copy of the bytes,
// released with vt_delete_frame. A null data pointer makes a frame whose data
// pointer is null while it still reports size bytes.
vt_frame* make_frame(vt_frame_type type, vt_format format, uint32_t width, uint32_t height,
                     const void* data, uint32_t size);

// Forgets every handle, counter and setting, and reads the environment
// (VANTRA_SIM_SCENARIO, VANTRA_SIM_TRACE, VANTRA_SIM_STATS) again. Pointers
// obtained before the reset must no longer be used.
void reset();

// How many frame sets the started pipeline has made and queued so far, taken
// by a wait or not; 0 for a pipeline that is not started.
uint64_t framesets_queued(vt_pipeline* pipeline);

}  // namespace sim
