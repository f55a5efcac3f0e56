// Force-included into every C++ file of a ThreadSanitizer build made with a
// toolchain whose ThreadSanitizer does not intercept pthread_cond_clockwait
// (GCC 10, Clang 11). libstdc++ waits on a steady-clock deadline with that
// call where glibc has it (2.30 on); unseen, the wait's unlock and relock of
// the mutex make ThreadSanitizer report a double lock and races that are
// not there. Without the macro, libstdc++ waits with pthread_cond_timedwait,
// which every ThreadSanitizer intercepts.
#include <bits/c++config.h>
#undef _GLIBCXX_USE_PTHREAD_COND_CLOCKWAIT
