#pragma once

#include <chrono>
#include <cstdint>

// One lock per server folder, across processes. Every Start holds it from its
// search for a running server through the writing of both files, the launch
// and the log's rotation, and every Stop while it decides what to end, so
// that two of them in one folder (two windows, a window and a script, two
// cron jobs) never interleave. It leaves nothing in the folder, and it goes
// with its holder, also when that crashes. One implementation per platform:
// posix/folderlock.cpp (flock on the folder itself) and
// windows/folderlock.cpp (a named mutex).
class FolderLock
{
public:
    // Locks the current folder, waiting at most patience for another holder.
    static FolderLock acquire(std::chrono::milliseconds patience);

    FolderLock(FolderLock &&other) noexcept;
    FolderLock &operator=(FolderLock &&other) noexcept;
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;
    ~FolderLock();

    // False when another holder kept the folder for longer than the patience.
    // A folder that cannot be locked at all (one the user may enter but not
    // read) counts as held: the work goes on without the lock.
    bool held() const { return m_held; }

private:
    FolderLock() = default;
    void release();

    bool m_held = false;
    // The platform's handle: a descriptor of the folder, or the mutex.
    std::intptr_t m_handle = -1;
};
