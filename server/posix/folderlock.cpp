#include "folderlock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <thread>

FolderLock FolderLock::acquire(std::chrono::milliseconds patience)
{
    FolderLock lock;
    // flock on the folder's own descriptor: nothing is created in it, and the
    // kernel drops the lock with the last descriptor, when its holder ends.
    const int fd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        lock.m_held = true;
        return lock;
    }
    lock.m_handle = fd;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            lock.m_held = true;
            return lock;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            // A file system without locks: go on as before there was one.
            lock.m_held = true;
            return lock;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return lock;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void FolderLock::release()
{
    if (m_handle >= 0)
        ::close(int(m_handle)); // drops the lock
    m_handle = -1;
    m_held = false;
}
