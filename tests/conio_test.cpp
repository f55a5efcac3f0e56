// The console key functions getch and kbhit, called in a child process whose
// standard input is a terminal of its own, or a pipe.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "conio.h"
#include "pty_session.h"

namespace {

std::string flags_of_stdin() {
    return std::to_string(fcntl(0, F_GETFL));
}

TEST(Conio, GetchReadsRawBytesOneByOneAndRestoresTheTerminal) {
    std::string seen = pty::in_child([] {
        int master = pty::attach_terminal();
        termios before;
        tcgetattr(0, &before);
        // Types once getch has put the terminal in raw mode: Enter, the
        // interrupt key, then a cursor key's three bytes.
        std::thread typist([master] {
            termios now;
            while (tcgetattr(0, &now) == 0 && !pty::is_raw(now)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            if (write(master, "\r\x03\x1b[A", 5) != 5) _exit(5);
        });
        std::string text;
        for (int i = 0; i < 5; i++) text += std::to_string(getch()) + " ";
        typist.join();
        termios after;
        tcgetattr(0, &after);
        text += pty::same_attributes(before, after) ? "restored" : "changed";
        return text;
    });
    EXPECT_EQ(seen, "13 3 27 91 65 restored");
}

TEST(Conio, KbhitTellsWithoutTakingTheByte) {
    std::string seen = pty::in_child([] {
        int master = pty::attach_terminal();
        termios before;
        tcgetattr(0, &before);
        std::string flags = flags_of_stdin();
        std::string text = std::to_string(kbhit()) + " ";  // nothing waiting
        if (write(master, "k", 1) != 1) _exit(5);
        // The byte reaches the terminal a moment after the write.
        int hit = 0;
        for (int i = 0; i < 10000 && !(hit = kbhit()); i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        text += std::to_string(hit) + " ";
        text += std::to_string(kbhit()) + " ";  // still there
        text += std::to_string(getch()) + " ";
        text += std::to_string(kbhit()) + " ";
        termios after;
        tcgetattr(0, &after);
        text += pty::same_attributes(before, after) && flags_of_stdin() == flags ? "restored"
                                                                                 : "changed";
        return text;
    });
    EXPECT_EQ(seen, "0 1 1 107 0 restored");
}

TEST(Conio, WithoutATerminalBothFailAndLeaveTheInputAlone) {
    std::string seen = pty::in_child([] {
        int fds[2];
        if (pipe(fds) != 0 || write(fds[1], "z", 1) != 1) _exit(5);
        dup2(fds[0], 0);
        std::string flags = flags_of_stdin();
        std::string text = std::to_string(kbhit()) + " ";
        text += std::to_string(getch()) + " ";
        text += flags_of_stdin() == flags ? "flags kept " : "flags changed ";
        text += std::to_string(getchar());  // the byte is still unread
        return text;
    });
    EXPECT_EQ(seen, "0 -1 flags kept 122");
}

}  // namespace
