// Helpers for tests that run the built programs: a scratch folder, a child
// process with its output captured, and the simulated camera's files.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace harness {

std::string bin(const std::string& program);  // path of a built program

// A fresh folder for one test, removed with the object.
class Scratch {
  public:
    Scratch();
    ~Scratch();
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string write(const std::string& name, const std::string& text) const;
    // The environment that points the simulated camera at this folder's
    // scenario.json (when given), trace.txt and stats.json.
    std::map<std::string, std::string> sim_env(const std::string& scenario = "") const;
    std::vector<std::string> trace() const;
    nlohmann::json stats() const;

  private:
    std::string dir_;
};

std::string read_file(const std::string& path);

struct Result {
    int status = -1;  // exit status, or 128 + signal number
    bool timed_out = false;
    std::string out;
    std::string err;
};

// A program started with its arguments and extra environment variables, its
// standard output and error going to files (or standard output to a pipe) and
// standard input from /dev/null.
class Process {
  public:
    enum class Output { file, pipe };
    Process(const std::string& program, const std::map<std::string, std::string>& env,
            Output out = Output::file, const std::vector<std::string>& args = {});
    ~Process();
    pid_t pid() const { return pid_; }
    bool running();
    // Waits for the end; kills the program and marks the result when it does
    // not end within the timeout.
    Result wait(double timeout_seconds = 20);

  private:
    pid_t pid_ = -1;
    int pipe_fd_ = -1;
    std::string out_path_, err_path_, piped_;
    bool reaped_ = false;
    int raw_status_ = 0;
};

Result run(const std::string& program, const std::map<std::string, std::string>& env,
           Process::Output out = Process::Output::file, double timeout_seconds = 20);
// The program is the command's first word, the rest its arguments.
Result run(const std::vector<std::string>& command, const std::map<std::string, std::string>& env,
           double timeout_seconds = 20);

// Index of the first trace line that starts with the text, or -1.
int find_line(const std::vector<std::string>& lines, const std::string& prefix, int from = 0);
int count_lines(const std::vector<std::string>& lines, const std::string& prefix);

}  // namespace harness
