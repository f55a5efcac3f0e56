// The stream profile that the samples pick from a sensor's list.
#pragma once

#include <stdint.h>

#include <vector>

#include "vantra_sdk.h"

// The first profile of the list with an accepted format at 30 fps, else the
// first profile of the list. Reads each examined entry's format and then its
// frame rate, stopping at the first match; an SDK failure ends the process
// through check_error. The list must not be empty.
vt_stream_profile* choose_profile(vt_stream_profile** profiles, uint32_t count,
                                  const std::vector<vt_format>& formats);
