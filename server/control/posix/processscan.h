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

// What tells a process to be the server, besides its user and folder: the
// file name of its executable; or its executable being the very file that the
// launch would start here (where the server's name is a link to a versioned
// file, say); or, for a script run under the server's name, that name as the
// process's name together with the name in its command line (argv[0], or the
// script's path, which the kernel passes to the interpreter).
struct ServerIdentity
{
    std::string name;
    // The canonical path of the program the launch would start; may be empty.
    std::string program;
};

// Processes of this user that are the server by its identity and whose
// working directory is directory, lowest PID first. Each is opened by pidfd
// before what identifies it is read, and kept only if it is still the same
// process afterwards. Without pidfds (usePidfd false, or an old kernel) the
// PIDs alone are returned. listed, when given, is called with each PID that
// the listing names before it is held: the gap where a PID can be recycled,
// which tests step into.
std::vector<HeldProcess> serversInDirectory(const ServerIdentity &server, const DirectoryId &directory,
                                            bool usePidfd = true,
                                            const std::function<void(pid_t)> &listed = nullptr);

// Processes of this user in the process group pgid, but its leader, held
// like the above: the children a launched program left behind, whatever
// their names.
std::vector<HeldProcess> processGroupMembers(pid_t pgid, bool usePidfd = true);

// Processes of this user whose executable's file name is imageName, in any
// folder.
std::vector<pid_t> processesByImageName(const std::string &imageName);
