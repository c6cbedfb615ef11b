#pragma once

#include "uniquefd.h"

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A process, held by a pidfd where the kernel has them, so that a PID that
// is recycled meanwhile is never signalled.
struct HeldProcess
{
    pid_t pid = -1;
    UniqueFd pidfd; // invalid without pidfd support
};

// Whether a held process still runs (without a pidfd: whether its PID does).
bool isRunning(const HeldProcess &process);

// Opens a pidfd on a process; -1 with errno set where that fails (ESRCH: it
// has ended; ENOSYS: no pidfds on this kernel).
int openPidfd(pid_t pid);

// A directory's identity: folders are compared by device and inode, not by
// how their path is spelled.
struct DirectoryId
{
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const DirectoryId &other) const { return device == other.device && inode == other.inode; }
};
bool directoryId(const char *path, DirectoryId *id);

// Processes of this user whose executable's file name is imageName and whose
// working directory is directory, lowest PID first. Each is opened by pidfd
// before its executable and folder are read, and kept only if it is still the
// same process afterwards. Without pidfds (usePidfd false, or an old kernel)
// the PIDs alone are returned. listed, when given, is called with each PID
// that the listing names before it is held: the gap where a PID can be
// recycled, which tests step into.
std::vector<HeldProcess> serversInDirectory(const std::string &imageName, const DirectoryId &directory,
                                            bool usePidfd = true,
                                            const std::function<void(pid_t)> &listed = nullptr);

// Processes of this user in the process group pgid, but its leader, held
// like the above: the children a launched program left behind, whatever
// their names.
std::vector<HeldProcess> processGroupMembers(pid_t pgid, bool usePidfd = true);

// Processes of this user whose executable's file name is imageName, in any
// folder.
std::vector<pid_t> processesByImageName(const std::string &imageName);
