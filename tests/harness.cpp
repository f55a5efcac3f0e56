#include "harness.h"

#include <fcntl.h>
#include <signal.h>
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

Process::Process(const std::string& program, const std::map<std::string, std::string>& env,
                 Output out, const std::vector<std::string>& args) {
    static int serial = 0;
    std::string base = std::filesystem::temp_directory_path().string() + "/vantra-proc-" +
                       std::to_string(getpid()) + "-" + std::to_string(serial++);
    out_path_ = base + ".out";
    err_path_ = base + ".err";
    // The child's environment is made before the fork: between fork and exec
    // the child may only make calls that are safe in a copy of a threaded
    // process, and setenv, which allocates, is not one of them.
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
    for (const auto& e : env) all[e.first] = e.second;
    std::vector<std::string> entries;
    for (const auto& e : all) entries.push_back(e.first + "=" + e.second);
    std::vector<char*> envp;
    for (std::string& e : entries) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    int fds[2] = {-1, -1};
    if (out == Output::pipe && pipe(fds) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test that was killed
        setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        int o = out == Output::pipe ? fds[1]
                                    : open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(o, 1);
        dup2(e, 2);
        if (fds[0] >= 0) close(fds[0]);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    if (out == Output::pipe) {
        close(fds[1]);
        pipe_fd_ = fds[0];
        fcntl(pipe_fd_, F_SETFL, O_NONBLOCK);
    }
}

Process::~Process() {
    if (!reaped_ && pid_ > 0) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (pipe_fd_ >= 0) close(pipe_fd_);
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
}

bool Process::running() {
    if (reaped_) return false;
    pid_t r = waitpid(pid_, &raw_status_, WNOHANG);
    if (r == pid_) reaped_ = true;
    return !reaped_;
}

Result Process::wait(double timeout_seconds) {
    Result result;
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
    char buffer[4096];
    for (;;) {
        if (pipe_fd_ >= 0) {
            ssize_t n;
            while ((n = read(pipe_fd_, buffer, sizeof buffer)) > 0) piped_.append(buffer, n);
        }
        if (!running()) break;
        if (std::chrono::steady_clock::now() > deadline) {
            result.timed_out = true;
            kill(-pid_, SIGKILL);
            waitpid(pid_, &raw_status_, 0);
            reaped_ = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (pipe_fd_ >= 0) {
        ssize_t n;
        while ((n = read(pipe_fd_, buffer, sizeof buffer)) > 0) piped_.append(buffer, n);
    }
    result.status = WIFEXITED(raw_status_) ? WEXITSTATUS(raw_status_) : 128 + WTERMSIG(raw_status_);
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
