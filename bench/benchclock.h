#pragma once

// Clocks and memory figures every part of the benchmark reads the same way;
// no Qt, so that the floors can use them too.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace bench {

// CLOCK_MONOTONIC is one clock for every process of the machine, so a child's
// reading compares with the parent's.
inline std::int64_t monotonicNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The resident set of this process in KiB, or -1 when /proc has none.
inline long residentKiB()
{
    std::FILE *status = std::fopen("/proc/self/status", "re");
    if (!status)
        return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) {
            kib = std::strtol(line + 6, nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return kib;
}

} // namespace bench
