/* A disk that stalls, for the programs that the tests start (LD_PRELOAD).
 * fdatasync of a file whose name ends with SLOW_DISK_FILE waits as long as
 * the file SLOW_DISK_WHILE exists, as a disk that takes that long to put the
 * data down would. */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

int fdatasync(int fd) {
    const char* name = getenv("SLOW_DISK_FILE");
    const char* while_exists = getenv("SLOW_DISK_WHILE");
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (name != NULL && while_exists != NULL && n > 0) {
        path[n] = '\0';
        size_t length = strlen(name);
        if ((size_t)n >= length && strcmp(path + n - length, name) == 0) {
            struct timespec pause = {0, 5 * 1000 * 1000};
            while (access(while_exists, F_OK) == 0) nanosleep(&pause, NULL);
        }
    }
    return (int)syscall(SYS_fdatasync, fd);
}
