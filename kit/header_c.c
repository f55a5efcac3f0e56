/* The SDK's header in a C99 translation unit, twice: once from the source
   tree and once as a copy, as a program meets it when two folders hold it.
   Its code types must be the same unsigned 32-bit integers that C++ sees. */
#include "copy/vantra_sdk.h"
#include "vantra_sdk.h"

#define IS_UINT32(type) (sizeof(type) == 4 && (type)-1 > 0)

typedef char sensor_type_is_uint32[IS_UINT32(vt_sensor_type) ? 1 : -1];
typedef char frame_type_is_uint32[IS_UINT32(vt_frame_type) ? 1 : -1];
typedef char format_is_uint32[IS_UINT32(vt_format) ? 1 : -1];
typedef char exception_type_is_uint32[IS_UINT32(vt_exception_type) ? 1 : -1];
