#pragma once

// Processor time and memory of the test process, for the bounds and figures tests report.

#include <ctime>
#include <sys/resource.h>

namespace testsupport {

// Seconds on CLOCK_THREAD_CPUTIME_ID (the calling thread) or CLOCK_PROCESS_CPUTIME_ID.
inline double cpuSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The calling thread's time outside the kernel: the program's own work.
inline double threadUserSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec) / 1e6;
}

// The process's peak resident memory so far.
inline long peakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace testsupport
