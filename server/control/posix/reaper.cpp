#include "reaper.h"

#include "processscan.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

namespace {

long monotonicMs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

void killTarget(const ReapTarget &t)
{
    // A group is only signalled while its leader is held alive by the pidfd:
    // then its ID cannot have been given to anyone else.
    if (t.group)
        ::kill(-t.pid, SIGKILL);
    ::syscall(SYS_pidfd_send_signal, t.pidfd, SIGKILL, nullptr, 0);
}

bool closeRange(unsigned first, unsigned last)
{
#ifdef SYS_close_range
    return ::syscall(SYS_close_range, first, last, 0) == 0;
#else
    (void)first;
    (void)last;
    errno = ENOSYS;
    return false;
#endif
}

// Closes every descriptor but the sorted ones in keep[0..count).
void closeAllBut(const int *keep, size_t count)
{
    unsigned next = 0;
    bool ranged = true;
    for (size_t i = 0; i <= count && ranged; ++i) {
        const unsigned end = i < count ? unsigned(keep[i]) : UINT_MAX;
        if (end > next)
            ranged = closeRange(next, i < count ? end - 1 : UINT_MAX);
        next = end + 1;
    }
    if (ranged)
        return;
    // Kernels before 5.9: one call per descriptor, up to the limit.
    rlimit limit{};
    const long maxFd =
        (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536) ? long(limit.rlim_cur) : 65536L;
    for (long fd = 0; fd < maxFd; ++fd) {
        if (!std::binary_search(keep, keep + count, int(fd)))
            ::close(int(fd));
    }
}

// Runs in a forked child of a threaded program: only async-signal-safe calls.
[[noreturn]] void reap(const ReapTarget *targets, pollfd *fds, size_t count, const int *keep,
                       size_t keepCount, long graceMs)
{
    closeAllBut(keep, keepCount);
    const long deadline = monotonicMs() + graceMs;
    for (;;) {
        bool anyAlive = false;
        for (size_t i = 0; i < count; ++i) {
            // poll passes over negative descriptors: those that have ended
            // would wake it at once.
            if (fds[i].fd >= 0 && !isRunning(fds[i].fd))
                fds[i].fd = -1;
            anyAlive = anyAlive || fds[i].fd >= 0;
        }
        const long left = deadline - monotonicMs();
        if (!anyAlive || left <= 0)
            break;
        // A pidfd becomes readable when its process ends.
        ::poll(fds, nfds_t(count), int(left));
    }
    for (size_t i = 0; i < count; ++i) {
        if (isRunning(targets[i].pidfd))
            killTarget(targets[i]);
    }
    ::_exit(0);
}

} // namespace

int startReaper(const std::vector<ReapTarget> &targets, std::chrono::milliseconds gracePeriod)
{
    if (targets.empty())
        return 0;
    // Everything the child needs is prepared here: after fork it may not
    // allocate.
    std::vector<pollfd> fds;
    std::vector<int> keep;
    for (const ReapTarget &t : targets) {
        fds.push_back({t.pidfd, POLLIN, 0});
        keep.push_back(t.pidfd);
    }
    std::sort(keep.begin(), keep.end());
    const long graceMs = long(gracePeriod.count());
    const pid_t child = ::fork();
    int forkError = errno;
    if (child == 0) {
        // Orphaned at once, so that the front-end has nothing to reap later.
        ::setsid();
        const pid_t reaper = ::fork();
        if (reaper == 0)
            reap(targets.data(), fds.data(), targets.size(), keep.data(), keep.size(), graceMs);
        // Tells the front-end by its status whether the reaper runs.
        ::_exit(reaper > 0 ? 0 : 100 + (errno & 0x7f));
    }
    if (child > 0) {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
            return 0;
        forkError = WIFEXITED(status) && WEXITSTATUS(status) > 100 ? WEXITSTATUS(status) - 100 : EAGAIN;
    }
    return forkError;
}
