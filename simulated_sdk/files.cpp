#include "files.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {

namespace {

std::string too_large(uint64_t max_bytes) {
    return max_bytes >= (1ull << 30) && max_bytes % (1ull << 30) == 0
               ? "is larger than " + std::to_string(max_bytes >> 30) + " GiB"
               : "is larger than " + std::to_string(max_bytes >> 20) + " MB";
}

}  // namespace

bool read_to_end(int fd, std::vector<uint8_t>& bytes) {
    uint8_t chunk[65536];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
}

bool write_all(int fd, const std::string& text) {
    return vtrec::write_all(fd, text.data(), text.size());
}

int open_regular_file(const std::string& path, uint64_t max_bytes, struct stat& st,
                      std::string& why) {
    // Without O_NONBLOCK, opening a FIFO would wait for a writer.
    int fd = open_file(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        why = std::string("cannot be read: ") + strerror(errno);
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "is not a regular file";
    } else if ((uint64_t)st.st_size > max_bytes) {
        why = too_large(max_bytes);
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

bool read_regular_file(const std::string& path, uint64_t max_bytes, std::string& text,
                       std::string& why) {
    struct stat st {};
    int fd = open_regular_file(path, max_bytes, st, why);
    if (fd < 0) return false;
    bool ok = false;
    text.clear();
    text.reserve((size_t)st.st_size);
    char chunk[65536];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = std::string("cannot be read: ") + strerror(errno);
            break;
        }
        if (n == 0) {
            ok = true;
            break;
        }
        text.append(chunk, (size_t)n);
        if (text.size() > max_bytes) {  // it grew since fstat
            why = too_large(max_bytes);
            break;
        }
    }
    close(fd);
    return ok;
}

int open_output_file(const std::string& path, int flags) {
    return open_file(path, flags | O_NONBLOCK | O_NOCTTY, 0644);
}

std::string output_failure(const std::string& path, int error) {
    struct stat st {};
    if (error == ENXIO && stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
        return "a FIFO that no one reads";
    }
    if (error == EAGAIN) return "its reader does not keep up";
    return strerror(error);
}

void warn(const std::string& text) {
    // Not even this message waits: when standard error is a pipe that is
    // full (it may be the very file that is not read), it is dropped.
    pollfd out{2, POLLOUT, 0};
    if (poll(&out, 1, 0) != 1 || (out.revents & POLLOUT) == 0) return;
    write_all(2, "simulated SDK: " + text + "\n");
}

}  // namespace sim
