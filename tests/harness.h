// Helpers for tests that run the built programs: a scratch folder, the one way
// the tests start a program (on a pseudo-terminal or not), a program with its
// output captured, and the simulated camera's files.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
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

// How a child program starts. All it needs, its argument list and its
// environment included, is made before the fork: between fork and exec the
// child of a threaded test process may only make calls that are safe in such a
// copy, and setenv or anything else that allocates is not one of them.
struct Launch {
    explicit Launch(std::vector<std::string> command_and_args,
                    std::map<std::string, std::string> extra_env = {})
        : command(std::move(command_and_args)), env(std::move(extra_env)) {}

    std::vector<std::string> command;  // a path, or a name looked up in PATH, and the arguments
    // Added to this process's environment, replacing variables of these names;
    // DBUS_SESSION_BUS_ADDRESS is "disabled:" unless given (see Child::Child).
    std::map<std::string, std::string> env;
    // The child's standard input, output and error; -1 is /dev/null.
    int in = -1, out = -1, err = -1;
    // When set, a new pseudo-terminal of 80 x 24 with these attributes is the
    // child's controlling terminal and its standard input, output and error.
    std::optional<termios> terminal;
    bool ignore_hangup = false;  // the program starts with SIGHUP ignored
    std::vector<int> keep;       // further descriptors the program gets
};

// A started program, in a process group of its own (on a terminal, in a
// session of its own), which the kernel kills when the test that started it
// dies. The object kills the group when it goes while the program still runs.
class Child {
  public:
    explicit Child(const Launch& launch);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    int terminal() const { return master_; }  // the master side of the terminal, or -1
    void close_terminal();
    bool running();
    // Waits for the end, calling between() every few milliseconds; kills the
    // group and marks the result when the program does not end in time. The
    // result holds the status only.
    Result wait(double timeout_seconds, const std::function<void()>& between = {});

  private:
    pid_t pid_ = -1;
    int master_ = -1;
    bool reaped_ = false;
    int raw_status_ = 0;
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
    pid_t pid() const { return child_->pid(); }
    bool running() { return child_->running(); }
    // Waits for the end; kills the program and marks the result when it does
    // not end within the timeout.
    Result wait(double timeout_seconds = 20);

  private:
    void drain_pipe();

    std::unique_ptr<Child> child_;
    int pipe_fd_ = -1;
    std::string out_path_, err_path_, piped_;
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
