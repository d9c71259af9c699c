#pragma once

// Processor time of the calling thread or the whole test process (clock_gettime: the C
// library on Linux, winpthreads under MinGW).

#include <ctime>

namespace testsupport {

// Seconds on CLOCK_THREAD_CPUTIME_ID (the calling thread) or CLOCK_PROCESS_CPUTIME_ID.
inline double cpuSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

} // namespace testsupport
