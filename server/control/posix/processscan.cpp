#include "processscan.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

namespace {

// The path of a process's executable; empty when it cannot be read
// (another user's process, a zombie, a kernel thread).
std::string executablePath(int procDir, const char *pid)
{
    char link[32];
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
    char path[48];
    std::snprintf(path, sizeof path, "%s/%s", pid, file);
    const int fd = ::openat(procDir, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string content(size, '\0');
    ssize_t length;
    do {
        length = ::read(fd, content.data(), size);
    } while (length < 0 && errno == EINTR);
    ::close(fd);
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

bool ownedByMe(int procDir, const char *pid)
{
    struct stat st
    {
    };
    return ::fstatat(procDir, pid, &st, 0) == 0 && st.st_uid == ::getuid();
}

bool runsIn(int procDir, const char *pid, const DirectoryId &directory)
{
    char link[32];
    std::snprintf(link, sizeof link, "%s/cwd", pid);
    struct stat st
    {
    };
    return ::fstatat(procDir, link, &st, 0) == 0 && DirectoryId{st.st_dev, st.st_ino} == directory;
}

// The process group of a process (field 5 of its stat line); -1 when gone.
pid_t processGroup(int procDir, const char *pid)
{
    char path[32];
    std::snprintf(path, sizeof path, "%s/stat", pid);
    const int fd = ::openat(procDir, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char line[512];
    const ssize_t length = ::read(fd, line, sizeof line - 1);
    ::close(fd);
    if (length <= 0)
        return -1;
    line[length] = '\0';
    // The name in brackets may hold blanks: start after the last ')'.
    const char *fields = std::strrchr(line, ')');
    char state = 0;
    long ppid = 0;
    long pgrp = -1;
    if (!fields || std::sscanf(fields + 1, " %c %ld %ld", &state, &ppid, &pgrp) != 3 || state == 'Z')
        return -1;
    return pid_t(pgrp);
}

bool stillRunning(int pidfd)
{
    pollfd p{pidfd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

// Calls found(procDir, pid, name) for every process of this user that
// matches.
template <typename Matches, typename Found> void forEachOwn(Matches matches, Found found)
{
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return;
    const int procDir = ::dirfd(proc);
    const pid_t self = ::getpid();
    while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == self)
            continue;
        // Another user's executable cannot be read anyway; root's can, so
        // the owner is checked first.
        if (ownedByMe(procDir, entry->d_name) && matches(procDir, entry->d_name))
            found(procDir, pid_t(pid), entry->d_name);
    }
    ::closedir(proc);
}

} // namespace

int openPidfd(pid_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

bool isRunning(const HeldProcess &process)
{
    return process.pidfd.valid() ? stillRunning(process.pidfd.get()) : ::kill(process.pid, 0) == 0;
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

std::vector<HeldProcess> serversInDirectory(const ServerIdentity &server, const DirectoryId &directory,
                                            bool usePidfd, const std::function<void(pid_t)> &listed)
{
    std::vector<HeldProcess> found;
    const auto matches = [&server](int procDir, const char *name) {
        return isServer(procDir, name, server);
    };
    forEachOwn(matches, [&](int procDir, pid_t pid, const char *name) {
        if (listed)
            listed(pid);
        UniqueFd pidfd(usePidfd ? openPidfd(pid) : -1);
        if (usePidfd && !pidfd.valid() && errno == ESRCH)
            return; // ended meanwhile
        // Read through the PID once it is held: if the process it named had
        // ended and the PID gone to another, the pidfd now says so.
        if (!ownedByMe(procDir, name) || !matches(procDir, name) || !runsIn(procDir, name, directory))
            return;
        if (pidfd.valid() && !stillRunning(pidfd.get()))
            return;
        found.push_back({pid, std::move(pidfd)});
    });
    std::sort(found.begin(), found.end(),
              [](const HeldProcess &a, const HeldProcess &b) { return a.pid < b.pid; });
    return found;
}

std::vector<HeldProcess> processGroupMembers(pid_t pgid, bool usePidfd)
{
    std::vector<HeldProcess> found;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return found;
    const int procDir = ::dirfd(proc);
    while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == pgid)
            continue;
        if (processGroup(procDir, entry->d_name) != pgid || !ownedByMe(procDir, entry->d_name))
            continue;
        UniqueFd pidfd(usePidfd ? openPidfd(pid_t(pid)) : -1);
        if (usePidfd && !pidfd.valid() && errno == ESRCH)
            continue;
        if (processGroup(procDir, entry->d_name) != pgid || !ownedByMe(procDir, entry->d_name))
            continue;
        if (pidfd.valid() && !stillRunning(pidfd.get()))
            continue;
        found.push_back({pid_t(pid), std::move(pidfd)});
    }
    ::closedir(proc);
    return found;
}

std::vector<pid_t> processesByImageName(const std::string &imageName)
{
    std::vector<pid_t> found;
    forEachOwn(
        [&imageName](int procDir, const char *name) {
            return baseName(executablePath(procDir, name)) == imageName;
        },
        [&found](int, pid_t pid, const char *) { found.push_back(pid); });
    std::sort(found.begin(), found.end());
    return found;
}
