/* Prints the SDK's version and the name and serial number of the first camera. */
#include <stdio.h>
#include <stdlib.h>
#include <vantra_sdk.h>

static vt_error* error = NULL; /* set by a failing SDK call; never released */

/* Ends the program if the SDK call just made has failed. */
static void check(void) {
    if (!error) return;
    fprintf(stderr, "%s failed: %s\n", vt_error_function(error), vt_error_message(error));
    exit(1);
}

int main(void) {
    printf("SDK version: %d.%d.%d\n", vt_get_major_version(), vt_get_minor_version(),
           vt_get_patch_version());
    vt_context* context = vt_create_context(&error);
    check();
    vt_device_list* devices = vt_query_device_list(context, &error);
    check();
    int count = vt_device_list_device_count(devices, &error);
    check();
    if (count == 0) {
        fprintf(stderr, "No camera\n");
        return 1;
    }
    vt_device* device = vt_get_device(devices, 0, &error);
    check();
    vt_device_info* info = vt_device_get_device_info(device, &error);
    check();
    const char* name = vt_device_info_name(info, &error);
    check();
    const char* serial = vt_device_info_serial_number(info, &error);
    check();
    printf("Camera: %s, serial number %s\n", name, serial);
    return 0;
}
