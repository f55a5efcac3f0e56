#include "pty_session.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace pty {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadline_after(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void pause_briefly() {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

std::string unix_lines(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

std::string describe_status(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "ended oddly";
}

}  // namespace

termios user_attributes() {
    int master, slave;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    termios t;
    tcgetattr(slave, &t);
    close(slave);
    close(master);
    t.c_lflag &= ~ECHOK;
    t.c_cc[VERASE] = 8;
    t.c_cc[VKILL] = 25;
    return t;
}

bool same_attributes(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

bool is_raw(const termios& t) {
    return (t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN)) == 0 && (t.c_iflag & ICRNL) == 0 &&
           t.c_cc[VMIN] == 1;
}

namespace {

harness::Launch on_terminal(const std::string& program,
                            const std::map<std::string, std::string>& env,
                            const termios& attributes, bool ignore_hangup,
                            const std::vector<std::string>& args) {
    harness::Launch launch({program}, env);
    launch.command.insert(launch.command.end(), args.begin(), args.end());
    launch.terminal = attributes;
    launch.ignore_hangup = ignore_hangup;
    return launch;
}

}  // namespace

Session::Session(const std::string& program, const std::map<std::string, std::string>& env,
                 const termios& attributes, bool ignore_hangup,
                 const std::vector<std::string>& args)
    : child_(on_terminal(program, env, attributes, ignore_hangup, args)) {
    int master = child_.terminal();
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
}

void Session::collect() {
    if (child_.terminal() < 0) return;
    char buffer[4096];
    ssize_t n;
    // Gives EIO once the program's side is closed and all was read.
    while ((n = read(child_.terminal(), buffer, sizeof buffer)) > 0) raw_.append(buffer, n);
}

std::string Session::output() {
    collect();
    return unix_lines(raw_);
}

bool Session::wait_for_output(const std::string& text, double timeout_seconds) {
    auto deadline = deadline_after(timeout_seconds);
    while (output().find(text) == std::string::npos) {
        if (!child_.running() || Clock::now() > deadline) {
            return output().find(text) != std::string::npos;
        }
        pause_briefly();
    }
    return true;
}

long long Session::bytes_read() {
    std::string text = harness::read_file("/proc/" + std::to_string(pid()) + "/io");
    size_t at = text.find("rchar:");
    return at == std::string::npos ? -1 : std::stoll(text.substr(at + 6));
}

bool Session::wait_until_reading(long long total, double timeout_seconds) {
    // /proc/<pid>/syscall starts with the number of the call the program is
    // blocked in and its first argument: read(0, ...).
    std::string reading = std::to_string(SYS_read) + " 0x0 ";
    std::string path = "/proc/" + std::to_string(pid()) + "/syscall";
    auto deadline = deadline_after(timeout_seconds);
    while (bytes_read() < total || harness::read_file(path).rfind(reading, 0) != 0) {
        if (!child_.running() || Clock::now() > deadline) return false;
        pause_briefly();
    }
    return true;
}

void Session::type(const std::string& bytes) {
    if (write(child_.terminal(), bytes.data(), bytes.size()) != (ssize_t)bytes.size()) {
        throw std::runtime_error("writing to the terminal failed");
    }
}

termios Session::attributes() const {
    // On the master side these are the terminal's own attributes.
    termios t{};
    if (tcgetattr(child_.terminal(), &t) != 0)
        throw std::runtime_error("tcgetattr on the master failed");
    return t;
}

void Session::hang_up() {
    collect();
    child_.close_terminal();
}

harness::Result Session::wait(double timeout_seconds) {
    harness::Result result = child_.wait(timeout_seconds, [this] { collect(); });
    // The last output may still be on its way to the master side.
    int master = child_.terminal();
    for (auto drain_end = deadline_after(5); master >= 0 && Clock::now() < drain_end;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buffer[4096];
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) {
            raw_.append(buffer, n);
        } else if (n == 0 || errno != EAGAIN) {
            break;
        }
    }
    result.out = unix_lines(raw_);
    return result;
}

std::string in_child(const std::function<std::string()>& body, double timeout_seconds) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        close(fds[0]);
        std::string text = body();
        if (write(fds[1], text.data(), text.size()) != (ssize_t)text.size()) _exit(2);
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    bool timed_out = false;
    auto deadline = deadline_after(timeout_seconds);
    for (;;) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buffer[1024];
            ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, n);
        }
        if (Clock::now() > deadline) {
            timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (timed_out) return text + " [child did not end in time]";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return text + " [child: " + describe_status(status) + "]";
    }
    return text;
}

int attach_terminal() {
    int master, slave;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) _exit(3);
    if (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) _exit(4);
    dup2(slave, 0);
    close(slave);
    return master;
}

}  // namespace pty
