// The SDK's header in a C++11 translation unit, twice, as header_c.c does in C.
#include "copy/vantra_sdk.h"
#include "vantra_sdk.h"

#include <cstdint>
#include <type_traits>

#define IS_UINT32(T) std::is_same<std::underlying_type<T>::type, uint32_t>::value

static_assert(IS_UINT32(vt_sensor_type), "vt_sensor_type is an unsigned 32-bit code");
static_assert(IS_UINT32(vt_frame_type), "vt_frame_type is an unsigned 32-bit code");
static_assert(IS_UINT32(vt_format), "vt_format is an unsigned 32-bit code");
static_assert(IS_UINT32(vt_exception_type), "vt_exception_type is an unsigned 32-bit code");
