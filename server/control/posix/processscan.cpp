#include "processscan.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

namespace {

// The path of a process's executable; empty when it cannot be read
// (another user's process, a zombie, a kernel thread).
std::string executablePath(int procDir, const char *pid)
{
    char link[300];
    std::snprintf(link, sizeof link, "%s/exe", pid);
    char target[4096];
    const ssize_t length = ::readlinkat(procDir, link, target, sizeof target - 1);
    if (length <= 0)
        return {};
    std::string path(target, size_t(length));
    // A binary replaced while running (a rebuild) still carries its old name.
    static const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    return path;
}

std::string baseName(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}

// At most size bytes of a small /proc file of the process; empty when gone.
std::string procFile(int procDir, const char *pid, const char *file, size_t size)
{
    char path[300];
    std::snprintf(path, sizeof path, "%s/%s", pid, file);
    const UniqueFd fd(::openat(procDir, path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return {};
    std::string content(size, '\0');
    ssize_t length;
    do {
        length = ::read(fd.get(), content.data(), size);
    } while (length < 0 && errno == EINTR);
    content.resize(length > 0 ? size_t(length) : 0);
    return content;
}

// Whether a process runs a script under the server's name: the kernel names
// the process after the script, and passes the script's path to its
// interpreter after the interpreter's own optional argument.
bool runsScriptNamed(int procDir, const char *pid, const std::string &name)
{
    // The kernel keeps 15 bytes of a name, and ends it with a line break here.
    std::string comm = procFile(procDir, pid, "comm", 64);
    if (!comm.empty() && comm.back() == '\n')
        comm.pop_back();
    if (comm.empty() || comm != name.substr(0, 15))
        return false;
    const std::string commandLine = procFile(procDir, pid, "cmdline", 4096);
    size_t start = 0;
    for (int argument = 0; argument < 3 && start < commandLine.size(); ++argument) {
        const size_t end = std::min(commandLine.find('\0', start), commandLine.size());
        if (baseName(commandLine.substr(start, end - start)) == name)
            return true;
        start = end + 1;
    }
    return false;
}

bool isServer(int procDir, const char *pid, const ServerIdentity &server)
{
    const std::string executable = executablePath(procDir, pid);
    if (executable.empty())
        return false;
    return baseName(executable) == server.name || (!server.program.empty() && executable == server.program) ||
           runsScriptNamed(procDir, pid, server.name);
}

// Whether a process is this user's: its real and effective users are both
// this one. Its /proc entry belongs to its effective user, or to root when
// it may not be inspected (a set-uid program): anyone else's is not looked
// into further (mayBeOwn).
bool mayBeOwn(int procDir, const char *pid)
{
    const uid_t me = ::getuid();
    struct stat st
    {
    };
    return ::fstatat(procDir, pid, &st, 0) == 0 && (st.st_uid == me || st.st_uid == 0);
}

bool isOwn(int procDir, const char *pid)
{
    const uid_t me = ::getuid();
    const std::string status = procFile(procDir, pid, "status", 4096);
    const size_t line = status.find("\nUid:");
    unsigned long real = 0;
    unsigned long effective = 0;
    return line != std::string::npos &&
           std::sscanf(status.c_str() + line + 5, "%lu %lu", &real, &effective) == 2 && real == me &&
           effective == me;
}

bool runsIn(int procDir, const char *pid, const DirectoryId &directory)
{
    char link[300];
    std::snprintf(link, sizeof link, "%s/cwd", pid);
    struct stat st
    {
    };
    return ::fstatat(procDir, link, &st, 0) == 0 && DirectoryId{st.st_dev, st.st_ino} == directory;
}

// What a process's stat line says of where it belongs.
struct ProcStat
{
    char state = 0;
    pid_t group = -1;
    pid_t session = -1;
};

bool readStat(int procDir, const char *pid, ProcStat *stat)
{
    const std::string line = procFile(procDir, pid, "stat", 512);
    // The name in brackets may hold blanks: the fields start after the last ')'.
    const size_t nameEnd = line.rfind(')');
    long parent = 0;
    long group = -1;
    long session = -1;
    if (nameEnd == std::string::npos || std::sscanf(line.c_str() + nameEnd + 1, " %c %ld %ld %ld",
                                                    &stat->state, &parent, &group, &session) != 4)
        return false;
    stat->group = pid_t(group);
    stat->session = pid_t(session);
    return true;
}

// The one walk through /proc: holds each of this user's processes (but this
// one) for which wanted(procDir, name) holds, and keeps it only if that still
// holds once it is held: if the process that the PID named had ended and the
// PID gone to another, what is read through the PID now says so.
template <typename Wanted> ProcessSearch holdEach(Wanted wanted)
{
    ProcessSearch search;
    const std::unique_ptr<DIR, int (*)(DIR *)> proc(::opendir("/proc"), ::closedir);
    if (!proc) {
        search.error = errno;
        return search;
    }
    const int procDir = ::dirfd(proc.get());
    struct statfs fs
    {
    };
    if (::fstatfs(procDir, &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC) {
        search.error = kNoProcessList;
        return search;
    }
    // The owner of the entry first, then what is wanted, which reads little;
    // the status file, the dearest to read, last.
    const auto matches = [&](const char *name) {
        return mayBeOwn(procDir, name) && wanted(procDir, name) && isOwn(procDir, name);
    };
    const pid_t self = ::getpid();
    while (const dirent *entry = ::readdir(proc.get())) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == self || !matches(entry->d_name))
            continue;
        UniqueFd pidfd(openPidfd(pid_t(pid)));
        if (!pidfd.valid()) {
            if (errno != ESRCH) // else it has ended meanwhile
                search.error = errno;
            continue;
        }
        if (matches(entry->d_name) && isRunning(pidfd.get()))
            search.processes.push_back({pid_t(pid), std::move(pidfd)});
    }
    std::sort(search.processes.begin(), search.processes.end(),
              [](const HeldProcess &a, const HeldProcess &b) { return a.pid < b.pid; });
    return search;
}

} // namespace

int openPidfd(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

bool isRunning(int pidfd)
{
    pollfd p{pidfd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

bool directoryId(const char *path, DirectoryId *id)
{
    struct stat st
    {
    };
    if (::stat(path, &st) != 0)
        return false;
    *id = {st.st_dev, st.st_ino};
    return true;
}

ProcessSearch serversInDirectory(const ServerIdentity &server, const DirectoryId &directory)
{
    return holdEach([&](int procDir, const char *name) {
        return isServer(procDir, name, server) && runsIn(procDir, name, directory);
    });
}

ProcessSearch processesLedBy(const std::vector<pid_t> &leaders)
{
    const auto isLeader = [&leaders](pid_t pid) {
        return std::find(leaders.begin(), leaders.end(), pid) != leaders.end();
    };
    return holdEach([&](int procDir, const char *name) {
        ProcStat stat;
        return !isLeader(pid_t(std::atol(name))) && readStat(procDir, name, &stat) && stat.state != 'Z' &&
               (isLeader(stat.group) || isLeader(stat.session));
    });
}
