// The C interface of the Vantra Camera SDK (libVantraSDK.so.1.0), for C99 and
// C++11 or later.
//
// Every handle is an opaque pointer that the SDK creates. Every call except
// the three version getters and the four error accessors takes an error slot
// (vt_error**) as its last argument: the slot is set to null when the call
// succeeds and to a new error object when it fails; a failing call returns
// null or 0. Only frames, frame sets and pipelines are ever released.
#ifndef VANTRA_SDK_H
#define VANTRA_SDK_H

#include <stdint.h>

// The enumerations are unsigned 32-bit codes in both languages. C++ gets
// enumerations based on uint32_t; C, whose enumerations are int, gets uint32_t
// types, and the enumerations there only name the codes.
#ifdef __cplusplus
#define VT_CODE_BASE : uint32_t
#else
#define VT_CODE_BASE
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vt_error vt_error;
typedef struct vt_context vt_context;
typedef struct vt_device_list vt_device_list;
typedef struct vt_device vt_device;
typedef struct vt_device_info vt_device_info;
typedef struct vt_sensor_list vt_sensor_list;
typedef struct vt_pipeline vt_pipeline;
typedef struct vt_config vt_config;
typedef struct vt_stream_profile vt_stream_profile;
typedef struct vt_frame vt_frame;  // a frame, or a frame set

enum vt_sensor_type VT_CODE_BASE {
    VT_SENSOR_UNKNOWN = 0,
    VT_SENSOR_IR = 1,
    VT_SENSOR_COLOR = 2,
    VT_SENSOR_DEPTH = 3,
    VT_SENSOR_IMU = 4,
};

enum vt_frame_type VT_CODE_BASE {
    VT_FRAME_VIDEO = 0,
    VT_FRAME_IR = 1,
    VT_FRAME_COLOR = 2,
    VT_FRAME_DEPTH = 3,
};

enum vt_format VT_CODE_BASE {
    VT_FORMAT_YUYV = 0,
    VT_FORMAT_YUY2 = 1,
    VT_FORMAT_MJPG = 5,
    VT_FORMAT_Y16 = 8,  // 16-bit samples in the machine's byte order
    VT_FORMAT_Y8 = 9,
    VT_FORMAT_Y12 = 12,
};

enum vt_exception_type VT_CODE_BASE {
    VT_EXCEPTION_UNKNOWN = 0,
    VT_EXCEPTION_INVALID_ARGUMENT = 1,  // a value out of range, or a null pointer
    VT_EXCEPTION_INVALID_HANDLE = 2,    // a null, unknown, released or wrong-kind handle
    VT_EXCEPTION_INVALID_STATE = 3,     // the call does not fit the object's state
    VT_EXCEPTION_NO_DEVICE = 4,         // no camera, or the camera has gone
    VT_EXCEPTION_IO = 5,                // reading or writing a file failed
    VT_EXCEPTION_CONFIGURATION = 6,     // the SDK's own configuration is unusable
};

#ifdef __cplusplus
typedef enum vt_sensor_type vt_sensor_type;
typedef enum vt_frame_type vt_frame_type;
typedef enum vt_format vt_format;
typedef enum vt_exception_type vt_exception_type;
#else
typedef uint32_t vt_sensor_type;
typedef uint32_t vt_frame_type;
typedef uint32_t vt_format;
typedef uint32_t vt_exception_type;
#endif
#undef VT_CODE_BASE

// Version of the SDK, no error slot.
int vt_get_major_version(void);
int vt_get_minor_version(void);
int vt_get_patch_version(void);

vt_context* vt_create_context(vt_error** error);
vt_pipeline* vt_create_pipeline(vt_error** error);  // on the first camera
vt_config* vt_create_config(vt_error** error);

// Devices.
vt_device_list* vt_query_device_list(vt_context* context, vt_error** error);
int vt_device_list_device_count(vt_device_list* list, vt_error** error);  // 0: no camera
vt_device* vt_get_device(vt_device_list* list, uint32_t index, vt_error** error);
vt_device_info* vt_device_get_device_info(vt_device* device, vt_error** error);
vt_sensor_list* vt_device_get_sensor_list(vt_device* device, vt_error** error);

const char* vt_device_info_name(vt_device_info* info, vt_error** error);
int vt_device_info_pid(vt_device_info* info, vt_error** error);
int vt_device_info_vid(vt_device_info* info, vt_error** error);
const char* vt_device_info_uid(vt_device_info* info, vt_error** error);
const char* vt_device_info_firmware_version(vt_device_info* info, vt_error** error);
const char* vt_device_info_serial_number(vt_device_info* info, vt_error** error);

int vt_sensor_list_get_sensor_count(vt_sensor_list* list, vt_error** error);
vt_sensor_type vt_sensor_list_get_sensor_type(vt_sensor_list* list, uint32_t index,
                                              vt_error** error);

// Pipelines. The profile list stays owned by the pipeline; *count receives
// its length. A wait returns null, with no error, when no frame set came
// within timeout_ms milliseconds.
vt_stream_profile** vt_pipeline_get_stream_profiles(vt_pipeline* pipeline,
                                                    vt_sensor_type sensor_type, uint32_t* count,
                                                    vt_error** error);
void vt_pipeline_disable_frame_sync(vt_pipeline* pipeline, vt_error** error);
void vt_pipeline_start_with_config(vt_pipeline* pipeline, vt_config* config, vt_error** error);
vt_frame* vt_pipeline_wait_for_frames(vt_pipeline* pipeline, uint32_t timeout_ms, vt_error** error);
void vt_pipeline_stop(vt_pipeline* pipeline, vt_error** error);
void vt_delete_pipeline(vt_pipeline* pipeline, vt_error** error);

void vt_config_enable_stream(vt_config* config, vt_stream_profile* profile, vt_error** error);

vt_format vt_stream_profile_format(vt_stream_profile* profile, vt_error** error);
uint32_t vt_stream_profile_width(vt_stream_profile* profile, vt_error** error);
uint32_t vt_stream_profile_height(vt_stream_profile* profile, vt_error** error);
uint32_t vt_stream_profile_fps(vt_stream_profile* profile, vt_error** error);

// Frame sets. A frame taken from a set is a handle of its own: it stays valid
// after the set has been released, until it is released itself. A getter
// returns null, with no error, when the set has no frame of that kind.
vt_frame* vt_frame_set_color_frame(vt_frame* frame_set, vt_error** error);
vt_frame* vt_frame_set_depth_frame(vt_frame* frame_set, vt_error** error);
void vt_delete_frame_set(vt_frame* frame_set, vt_error** error);

// Frames.
vt_frame_type vt_frame_get_type(vt_frame* frame, vt_error** error);
vt_format vt_frame_format(vt_frame* frame, vt_error** error);
uint32_t vt_frame_width(vt_frame* frame, vt_error** error);
uint32_t vt_frame_height(vt_frame* frame, vt_error** error);
void* vt_frame_data(vt_frame* frame, vt_error** error);
uint32_t vt_frame_data_size(vt_frame* frame, vt_error** error);
void vt_delete_frame(vt_frame* frame, vt_error** error);

// Error objects, no error slot. The texts live as long as the error object,
// which the program never releases.
const char* vt_error_function(const vt_error* error);
const char* vt_error_args(const vt_error* error);
const char* vt_error_message(const vt_error* error);
vt_exception_type vt_error_exception_type(const vt_error* error);

#ifdef __cplusplus
}
#endif

#endif  // VANTRA_SDK_H
