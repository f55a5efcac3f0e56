// The error check that follows every Camera SDK call taking an error slot.
#pragma once

#include "vantra_sdk.h"

// Returns when error is null. Otherwise prints the three-line report on
// standard output and ends the process with status 1.
void check_error(vt_error* error);
