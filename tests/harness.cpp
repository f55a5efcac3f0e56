#include "harness.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace harness {

std::string bin(const std::string& program) {
    return std::string(VANTRA_BIN_DIR) + "/" + program;
}

Scratch::Scratch() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/vantra-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
}

Scratch::~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string Scratch::write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
    return path(name);
}

std::map<std::string, std::string> Scratch::sim_env(const std::string& scenario) const {
    std::map<std::string, std::string> env{{"VANTRA_SIM_TRACE", path("trace.txt")},
                                           {"VANTRA_SIM_STATS", path("stats.json")}};
    if (!scenario.empty()) env["VANTRA_SIM_SCENARIO"] = write("scenario.json", scenario);
    return env;
}

std::vector<std::string> Scratch::trace() const {
    std::vector<std::string> lines;
    std::istringstream in(read_file(path("trace.txt")));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

nlohmann::json Scratch::stats() const {
    std::string text = read_file(path("stats.json"));
    return text.empty() ? nlohmann::json() : nlohmann::json::parse(text);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

namespace {

using Clock = std::chrono::steady_clock;

// The file that execve runs for the name: a name with a slash as it is, any
// other the first executable of that name in the folders of PATH.
std::string find_program(const std::string& name, const std::string& path) {
    if (name.find('/') != std::string::npos) return name;
    std::istringstream folders(path);
    for (std::string folder; std::getline(folders, folder, ':');) {
        std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return name;
}

int open_or_throw(const std::string& path, int flags) {
    int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    return fd;
}

}  // namespace

Child::Child(const Launch& launch) {
    std::map<std::string, std::string> all;
    for (char** e = environ; *e != nullptr; e++) {
        std::string entry = *e;
        size_t eq = entry.find('=');
        if (eq != std::string::npos) all[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    // The programs show their windows on private X servers with no desktop
    // session. Without a session bus address the window toolkit's D-Bus
    // library forks a helper to look for one, and in a threaded program built
    // with AddressSanitizer that child can deadlock before its exec and stall
    // the toolkit for good. "disabled:" makes the library give up at once.
    all["DBUS_SESSION_BUS_ADDRESS"] = "disabled:";
    for (const auto& e : launch.env) all[e.first] = e.second;
    std::vector<std::string> entries;
    for (const auto& e : all) entries.push_back(e.first + "=" + e.second);
    std::vector<char*> envp;
    for (std::string& e : entries) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> words = launch.command;
    std::string program = find_program(words.at(0), all["PATH"]);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    int null = open_or_throw("/dev/null", O_RDWR);
    int slave = -1;
    int std_fds[3] = {launch.in >= 0 ? launch.in : null, launch.out >= 0 ? launch.out : null,
                      launch.err >= 0 ? launch.err : null};
    if (launch.terminal) {
        termios attributes = *launch.terminal;
        winsize size{};
        size.ws_row = 24;
        size.ws_col = 80;
        if (openpty(&master_, &slave, nullptr, &attributes, &size) != 0) {
            close(null);
            throw std::runtime_error("openpty failed");
        }
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        std_fds[0] = std_fds[1] = std_fds[2] = slave;
    }
    const bool ignore_hangup = launch.ignore_hangup;
    const std::vector<int>& keep = launch.keep;
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // Never outlive a test that was killed, even one that died before
        // this line.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        if (slave >= 0) {
            if (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) _exit(127);
        } else {
            setpgid(0, 0);
        }
        // dup2 onto itself would keep the close-on-exec flag.
        for (int i = 0; i < 3; i++) {
            if (std_fds[i] == i) {
                fcntl(i, F_SETFD, 0);
            } else {
                dup2(std_fds[i], i);
            }
        }
        for (int fd : keep) fcntl(fd, F_SETFD, 0);
        if (ignore_hangup) signal(SIGHUP, SIG_IGN);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(null);
    if (slave >= 0) close(slave);
    if (pid_ < 0) {
        close_terminal();
        throw std::runtime_error("fork failed");
    }
}

Child::~Child() {
    if (!reaped_ && pid_ > 0) {
        // The group is made in the child: a kill that comes first finds none.
        if (kill(-pid_, SIGKILL) != 0) kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close_terminal();
}

void Child::close_terminal() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

bool Child::running() {
    if (reaped_) return false;
    if (waitpid(pid_, &raw_status_, WNOHANG) == pid_) reaped_ = true;
    return !reaped_;
}

Result Child::wait(double timeout_seconds, const std::function<void()>& between) {
    Result result;
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(timeout_seconds));
    for (;;) {
        if (between) between();
        if (!running()) break;
        if (Clock::now() > deadline) {
            result.timed_out = true;
            if (kill(-pid_, SIGKILL) != 0) kill(pid_, SIGKILL);
            waitpid(pid_, &raw_status_, 0);
            reaped_ = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.status = WIFEXITED(raw_status_) ? WEXITSTATUS(raw_status_) : 128 + WTERMSIG(raw_status_);
    return result;
}

Process::Process(const std::string& program, const std::map<std::string, std::string>& env,
                 Output out, const std::vector<std::string>& args) {
    static int serial = 0;
    std::string base = std::filesystem::temp_directory_path().string() + "/vantra-proc-" +
                       std::to_string(getpid()) + "-" + std::to_string(serial++);
    out_path_ = base + ".out";
    err_path_ = base + ".err";
    Launch launch({program}, env);
    launch.command.insert(launch.command.end(), args.begin(), args.end());
    if (out == Output::pipe) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        pipe_fd_ = fds[0];
        fcntl(pipe_fd_, F_SETFL, O_NONBLOCK);
        launch.out = fds[1];
    } else {
        launch.out = open_or_throw(out_path_, O_WRONLY | O_CREAT | O_TRUNC);
    }
    launch.err = open_or_throw(err_path_, O_WRONLY | O_CREAT | O_TRUNC);
    try {
        child_ = std::make_unique<Child>(launch);
    } catch (...) {
        close(launch.out);
        close(launch.err);
        throw;
    }
    close(launch.out);
    close(launch.err);
}

Process::~Process() {
    child_.reset();
    if (pipe_fd_ >= 0) close(pipe_fd_);
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
}

void Process::drain_pipe() {
    if (pipe_fd_ < 0) return;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipe_fd_, buffer, sizeof buffer)) > 0) piped_.append(buffer, n);
}

Result Process::wait(double timeout_seconds) {
    Result result = child_->wait(timeout_seconds, [this] { drain_pipe(); });
    drain_pipe();
    result.out = pipe_fd_ >= 0 ? piped_ : read_file(out_path_);
    result.err = read_file(err_path_);
    return result;
}

Result run(const std::string& program, const std::map<std::string, std::string>& env,
           Process::Output out, double timeout_seconds) {
    return Process(program, env, out).wait(timeout_seconds);
}

Result run(const std::vector<std::string>& command, const std::map<std::string, std::string>& env,
           double timeout_seconds) {
    std::vector<std::string> args(command.begin() + 1, command.end());
    return Process(command.at(0), env, Process::Output::file, args).wait(timeout_seconds);
}

int find_line(const std::vector<std::string>& lines, const std::string& prefix, int from) {
    for (size_t i = from; i < lines.size(); i++) {
        if (lines[i].compare(0, prefix.size(), prefix) == 0) return (int)i;
    }
    return -1;
}

int count_lines(const std::vector<std::string>& lines, const std::string& prefix) {
    int n = 0;
    for (int i = find_line(lines, prefix); i >= 0; i = find_line(lines, prefix, i + 1)) n++;
    return n;
}

}  // namespace harness
