// Helpers for tests on pseudo-terminals: a program run with a terminal as its
// standard input, output and error, and a function run in a child process.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace pty {

// The attributes of a new terminal with a few of its settings changed, as a
// user might have them; a program that puts back fixed values instead of the
// terminal's own shows up against them.
termios user_attributes();
bool same_attributes(const termios& a, const termios& b);
// No echo, no line editing, no signal keys and no carriage-return translation.
bool is_raw(const termios& t);

// A program started with its arguments on a new terminal that is its
// controlling terminal.
class Session {
  public:
    Session(const std::string& program, const std::map<std::string, std::string>& env,
            const termios& attributes, bool ignore_hangup = false,
            const std::vector<std::string>& args = {});
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    pid_t pid() const { return child_.pid(); }
    // What the program has written so far, with the terminal's "\r\n" as "\n".
    std::string output();
    // Waits until the output holds the text; false when the program ended
    // without it or the timeout passed.
    bool wait_for_output(const std::string& text, double timeout_seconds = 20);
    // Waits until the program is blocked reading its standard input after
    // its read calls have returned at least `total` bytes in all.
    bool wait_until_reading(long long total = 0, double timeout_seconds = 20);
    long long bytes_read();  // returned by the program's read calls so far
    void type(const std::string& bytes);
    termios attributes() const;  // the terminal's, now
    void hang_up();              // closes the master side: the terminal goes away
    // Waits for the end; kills the program when the timeout passes.
    harness::Result wait(double timeout_seconds = 20);

  private:
    void collect();

    harness::Child child_;
    std::string raw_;
};

// Runs body in a forked child and returns the text that body returned, or a
// note on how the child ended when it crashed or did not end in time.
std::string in_child(const std::function<std::string()>& body, double timeout_seconds = 20);

// In a child of in_child: makes a new terminal the controlling terminal and
// standard input, and returns its master side.
int attach_terminal();

}  // namespace pty
