#include "conio.h"

#include <fcntl.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

int getch(void) {
    struct termios tm, tm_old;
    int fd = 0, ch;

    if (tcgetattr(fd, &tm) < 0) return -1;
    tm_old = tm;
    cfmakeraw(&tm);
    if (tcsetattr(fd, TCSANOW, &tm) < 0) return -1;
    // A byte left in the stream's buffer by an earlier read comes first.
    ch = getchar();
    if (tcsetattr(fd, TCSANOW, &tm_old) < 0) return -1;
    return ch;
}

int kbhit(void) {
    struct termios oldt, newt;
    int ch, oldf;

    // Without the terminal's own attributes there is nothing to put back
    // afterwards, so leave the terminal and the descriptor alone.
    if (tcgetattr(0, &oldt) < 0) return 0;
    newt = oldt;
    newt.c_lflag &= ~(ICANON | ECHO);
    tcsetattr(0, TCSANOW, &newt);
    oldf = fcntl(0, F_GETFL, 0);
    fcntl(0, F_SETFL, oldf | O_NONBLOCK);

    ch = getchar();

    tcsetattr(0, TCSANOW, &oldt);
    fcntl(0, F_SETFL, oldf);

    if (ch != EOF) {
        ungetc(ch, stdin);
        return 1;
    }
    return 0;
}
