// Entry points of the simulated Camera SDK that exist for tests only. A
// program written against the real SDK must not use them.
#pragma once

#include "vantra_sdk.h"

#ifdef __cplusplus
extern "C" {
#endif

// Makes a frame handle with the given properties and a copy of the bytes,
// released with vt_delete_frame. A null data pointer makes a frame whose data
// pointer is null while it still reports size bytes.
vt_frame* vt_sim_make_frame(vt_frame_type type, vt_format format, uint32_t width, uint32_t height,
                            const void* data, uint32_t size);

// Forgets every handle, counter and setting, and reads the environment
// (VANTRA_SIM_SCENARIO, VANTRA_SIM_TRACE, VANTRA_SIM_STATS) again. Pointers
// obtained before the reset must no longer be used.
void vt_sim_reset(void);

#ifdef __cplusplus
}
#endif
