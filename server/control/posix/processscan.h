#pragma once

#include "uniquefd.h"

#include <sys/types.h>

#include <string>
#include <vector>

// A process held by a pidfd, so that a PID that is recycled meanwhile is
// never signalled.
struct HeldProcess
{
    pid_t pid = -1;
    UniqueFd pidfd;
};

// Whether the process that a pidfd holds still runs. Async-signal-safe: the
// reaper calls it after fork.
bool isRunning(int pidfd);

// Opens a pidfd on a process; -1 with errno set where that fails (ESRCH: it
// has ended; ENOSYS: the kernel has no pidfds).
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

// What a look through the process list found. Only this user's processes
// count: those whose real and effective users are both this one (a set-uid
// program another user started is not, whoever owns its /proc entry).
struct ProcessSearch
{
    // Lowest PID first, each held by a pidfd opened before what identifies it
    // was read again, and kept only if it was still the same process then.
    std::vector<HeldProcess> processes;
    // 0 when every process could be looked at; else why not, so that "none"
    // is never said when it cannot be told: an errno value, or kNoProcessList.
    int error = 0;
};
// /proc is there but holds no process list (something else is mounted on it).
constexpr int kNoProcessList = -1;

// The processes that are the server by its identity and whose working
// directory is directory.
ProcessSearch serversInDirectory(const ServerIdentity &server, const DirectoryId &directory);

// The processes in the process groups and sessions whose IDs are those of
// leaders, the leaders themselves left out: what a launched or taken-over
// server started, whatever their names. A group's or session's ID stays its
// leader's while anything is left in it, so a leader held alive, or a group
// that still holds a process known to be in it, names no one else's.
ProcessSearch processesLedBy(const std::vector<pid_t> &leaders);
