#include "files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace sim {

int open_file(const std::string& path, int flags, mode_t mode) {
    int fd = open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0 || fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int error = errno;
    close(fd);
    errno = error;
    return moved;
}

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
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += (size_t)n;
    }
    return true;
}

}  // namespace sim
