// Single keys from the terminal on standard input, without waiting for Enter.
// Each call changes the terminal for its own duration only. Neither function
// may be called from two threads at once.
#pragma once

// Waits for one key and returns its byte (0 to 255), read with the terminal in
// raw mode: no echo, no line editing, no signal keys, Enter gives 13.
// Returns -1 when the terminal cannot be read, set or restored, or at the end
// of input; every call fails that way when standard input is not a terminal.
int getch(void);

// Returns 1 at once when a byte is waiting on standard input, leaving it to be
// read next; else 0. Returns 0 when standard input is not a terminal.
int kbhit(void);
