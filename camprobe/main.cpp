// Camprobe: prints the SDK version and what the first camera is (its name,
// USB identifiers, unique identifier, firmware, serial number and sensor
// kinds), then waits for ESC on the terminal.
//
// Exit status: 0 after ESC, and also when there is no terminal to read ESC
// from (see the wait below); 255 when no camera is attached; 1 after an SDK
// failure, from inside check_error, or when the report could not be written.
// A hang-up, SIGTERM or SIGQUIT during the wait ends it by that signal, with
// the terminal put back first.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "check_error.h"
#include "conio.h"

// getch fails on every call when standard input is not a terminal (ENOTTY,
// EBADF), when the terminal has hung up (EIO), or once the input stream has
// met its end; waiting on for ESC would then spin for ever.
static bool key_input_gone(void) {
    struct termios tm;
    return tcgetattr(0, &tm) < 0 || feof(stdin);
}

// The terminal's settings from before the wait for ESC.
static struct termios terminal_before_wait;

// A signal that ends Camprobe while getch holds the terminal in raw mode
// would leave it so, without echo or line editing, under a shell that does
// not repair it. Put the settings back first, then end by that same signal,
// so that the parent sees what ended Camprobe. Only calls that are safe in a
// signal handler.
static void restore_terminal_and_end(int signal_number) {
    tcsetattr(0, TCSANOW, &terminal_before_wait);
    signal(signal_number, SIG_DFL);
    raise(signal_number);  // delivered as soon as this handler returns
}

// Installs the handler above for the signals that commonly end a program
// (a hang-up, kill's default, the quit key's signal); one that the parent has
// set to be ignored stays ignored.
static void restore_terminal_on_signals(void) {
    if (tcgetattr(0, &terminal_before_wait) < 0) return;  // no terminal to restore
    const int signals[] = {SIGHUP, SIGTERM, SIGQUIT};
    for (int signal_number : signals) {
        struct sigaction action, previous;
        if (sigaction(signal_number, nullptr, &previous) != 0) continue;
        if (previous.sa_handler == SIG_IGN) continue;
        memset(&action, 0, sizeof action);
        action.sa_handler = restore_terminal_and_end;
        sigemptyset(&action.sa_mask);
        sigaction(signal_number, &action, nullptr);
    }
}

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    vt_error* error;
    vt_context* ctx;
    vt_device_list* dev_list;
    int dev_count;
    vt_device* dev;
    vt_device_info* dev_info;
    const char *name, *uid, *fw_ver, *sn;
    int pid, vid;
    vt_sensor_list* sensor_list;
    int sensor_count;
    int i;
    vt_sensor_type sensor_type;
    int key;

    int major_version = vt_get_major_version();
    int minor_version = vt_get_minor_version();
    int patch_version = vt_get_patch_version();
    printf("SDK version: %d.%d.%d\n", major_version, minor_version, patch_version);

    error = nullptr;
    ctx = vt_create_context(&error);
    check_error(error);
    dev_list = vt_query_device_list(ctx, &error);
    check_error(error);
    dev_count = vt_device_list_device_count(dev_list, &error);
    check_error(error);
    if (dev_count == 0) {
        printf("Device not found!\n");
        return -1;
    }

    // Only the first camera is described, however many there are.
    dev = vt_get_device(dev_list, 0, &error);
    check_error(error);
    dev_info = vt_device_get_device_info(dev, &error);
    check_error(error);

    name = vt_device_info_name(dev_info, &error);
    check_error(error);
    printf("Device name: %s\n", name);

    pid = vt_device_info_pid(dev_info, &error);
    check_error(error);
    vid = vt_device_info_vid(dev_info, &error);
    check_error(error);
    uid = vt_device_info_uid(dev_info, &error);
    check_error(error);
    printf("Device pid: %d vid: %d uid: %s\n", pid, vid, uid);

    fw_ver = vt_device_info_firmware_version(dev_info, &error);
    check_error(error);
    printf("Firmware version: %s\n", fw_ver);

    sn = vt_device_info_serial_number(dev_info, &error);
    check_error(error);
    printf("Serial number: %s\n", sn);

    printf("Sensor types: \n");
    sensor_list = vt_device_get_sensor_list(dev, &error);
    check_error(error);
    sensor_count = vt_sensor_list_get_sensor_count(sensor_list, &error);
    check_error(error);
    for (i = 0; i < sensor_count; i++) {
        sensor_type = vt_sensor_list_get_sensor_type(sensor_list, i, &error);
        check_error(error);
        switch (sensor_type) {
            case VT_SENSOR_COLOR:
                printf("\tColor sensor\n");
                break;
            case VT_SENSOR_DEPTH:
                printf("\tDepth sensor\n");
                break;
            case VT_SENSOR_IR:
                printf("\tIR sensor\n");
                break;
            case VT_SENSOR_IMU:
                printf("\tIMU sensor\n");
                break;
            default:  // unknown kinds are left out
                break;
        }
    }

    printf("Press ESC to exit! \n");
    // A report that never reached its reader (a full disk, a closed output)
    // is no success: write it out now, and say so when that fails.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "camprobe: the report could not be written: %s\n", strerror(errno));
        return 1;
    }
    // Every key but ESC is dropped, and so is a failed read. Without a
    // terminal (standard input from a file or a pipe, or the terminal hung
    // up) no key can ever come: the report is complete, so end normally with
    // status 0. Any other failure is retried after a short pause rather than
    // at once, so that the wait never spins.
    restore_terminal_on_signals();
    while (true) {
        key = getch();
        if (key == 27) break;
        if (key == -1) {
            if (key_input_gone()) break;
            usleep(100 * 1000);
        }
    }
    return 0;
}
