/* A disk that stalls, is slow, or is watched, for the programs that the
 * tests start (LD_PRELOAD). Set by the environment:
 *   SLOW_DISK_FILE, SLOW_DISK_WHILE: fdatasync of a file, or mkdir of a
 *     path, that ends with SLOW_DISK_FILE waits as long as the file
 *     SLOW_DISK_WHILE exists, as a disk that takes that long would; the
 *     file SLOW_DISK_WHILE.held is made when the wait begins. So does write
 *     to a file whose name ends with SLOW_DISK_WRITE.
 *   SLOW_DISK_MS: every fdatasync and fsync takes that many milliseconds more.
 *   SLOW_DISK_LOG: each fdatasync, fsync and link is appended to
 *     that file as a line "CALL PATH [PATH]", and each write to a file named
 *     times.txt as "write PATH TEXT", the text as written (its lines too). */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static void pause_ms(long ms) {
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000 * 1000};
    nanosleep(&pause, NULL);
}

static int fd_path(int fd, char* path, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, size - 1);
    path[n > 0 ? n : 0] = '\0';
    return n > 0;
}

static int ends_with(const char* text, const char* end) {
    size_t n = strlen(text), m = strlen(end);
    return n >= m && strcmp(text + n - m, end) == 0;
}

static void stall(const char* path, const char* variable) {
    const char* name = getenv(variable);
    const char* while_exists = getenv("SLOW_DISK_WHILE");
    if (name == NULL || name[0] == '\0' || while_exists == NULL || !ends_with(path, name)) return;
    char held[4096];
    snprintf(held, sizeof held, "%s.held", while_exists);
    close((int)syscall(SYS_openat, AT_FDCWD, held, O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    while (access(while_exists, F_OK) == 0) pause_ms(5);
}

static void slow(void) {
    const char* ms = getenv("SLOW_DISK_MS");
    if (ms != NULL) pause_ms(atol(ms));
}

static void log_text(const char* call, const char* a, const char* b, size_t b_size) {
    const char* log = getenv("SLOW_DISK_LOG");
    if (log == NULL) return;
    int fd =
        (int)syscall(SYS_openat, AT_FDCWD, log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return;
    char line[8192];
    int n = snprintf(line, sizeof line, "%s %s%s%.*s\n", call, a, b_size > 0 ? " " : "",
                     (int)b_size, b);
    syscall(SYS_write, fd, line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
    close(fd);
}

int fdatasync(int fd) {
    char path[4096];
    if (fd_path(fd, path, sizeof path)) stall(path, "SLOW_DISK_FILE");
    slow();
    int result = (int)syscall(SYS_fdatasync, fd);
    log_text("fdatasync", path, "", 0);
    return result;
}

int fsync(int fd) {
    char path[4096];
    fd_path(fd, path, sizeof path);
    slow();
    int result = (int)syscall(SYS_fsync, fd);
    log_text("fsync", path, "", 0);
    return result;
}

int mkdir(const char* path, mode_t mode) {
    stall(path, "SLOW_DISK_FILE");
    return (int)syscall(SYS_mkdirat, AT_FDCWD, path, mode);
}

int link(const char* from, const char* to) {
    int result = (int)syscall(SYS_linkat, AT_FDCWD, from, AT_FDCWD, to, 0);
    if (result == 0) log_text("link", from, to, strlen(to));
    return result;
}

ssize_t write(int fd, const void* data, size_t size) {
    char path[4096];
    int watched = getenv("SLOW_DISK_LOG") != NULL || getenv("SLOW_DISK_WRITE") != NULL;
    if (watched && fd_path(fd, path, sizeof path)) stall(path, "SLOW_DISK_WRITE");
    ssize_t n = (ssize_t)syscall(SYS_write, fd, data, size);
    if (n > 0 && watched && path[0] != '\0' && ends_with(path, "/times.txt")) {
        log_text("write", path, (const char*)data, (size_t)n);
    }
    return n;
}
