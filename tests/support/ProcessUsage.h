#pragma once

// Processor time and memory of the test process, for the bounds and figures tests report.

#include "support/ProcessTime.h"

#include <sys/resource.h>

namespace testsupport {

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
