/* The SDK's header included by a C translation unit, so that it stays C.
   Its code types must be the same unsigned 32-bit integers that C++ sees. */
#include "vantra_sdk.h"

#define IS_UINT32(type) (sizeof(type) == 4 && (type)-1 > 0)

_Static_assert(IS_UINT32(vt_sensor_type), "vt_sensor_type is an unsigned 32-bit code");
_Static_assert(IS_UINT32(vt_frame_type), "vt_frame_type is an unsigned 32-bit code");
_Static_assert(IS_UINT32(vt_format), "vt_format is an unsigned 32-bit code");
_Static_assert(IS_UINT32(vt_exception_type), "vt_exception_type is an unsigned 32-bit code");
