#include "check_error.h"

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>

void check_error(vt_error* error) {
    if (error == nullptr) return;

    // Several threads may find an error at the same moment: the first one
    // reports, the others wait here until the process is gone.
    static std::atomic<bool> reporting{false};
    if (reporting.exchange(true)) {
        for (;;) pause();
    }

    printf("vt_error was raised when calling %s(%s):\n", vt_error_function(error),
           vt_error_args(error));
    printf("error message:    %s\n", vt_error_message(error));
    printf("error Type:    %d\n", (int)vt_error_exception_type(error));

    // End at once, without static destructors: other threads may still be
    // running, and destroying what they are blocked on can hang the exit.
    // A reader that has gone away must not turn status 1 into a signal.
    signal(SIGPIPE, SIG_IGN);
    fflush(stdout);
    _exit(1);
}
