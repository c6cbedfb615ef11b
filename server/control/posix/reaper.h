#pragma once

#include <sys/types.h>

#include <chrono>
#include <vector>

// A process that Stop asks to end, for the reaper to kill if it is still
// running when the grace period is over.
struct ReapTarget
{
    pid_t pid = -1;
    int pidfd = -1;
    bool group = false; // also its process group, while it leads one
};

// Starts a detached process that waits out the grace period and then kills
// every target still running, so that neither the window nor the front-end's
// exit waits for it. It keeps none of the front-end's descriptors but the
// pidfds, so that nothing (a display connection, a pipe, a lock on the
// folder) waits on it.
// Started before the targets are signalled: on failure (the error number is
// returned; 0 when it runs), nothing is to be asked to end.
int startReaper(const std::vector<ReapTarget> &targets, std::chrono::milliseconds gracePeriod);
