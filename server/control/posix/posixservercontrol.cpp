#include "posixservercontrol.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

extern char **environ;

namespace {

// A process to end, held by a pidfd where the kernel has them, so that a
// recycled PID can never be hit.
struct Target
{
    pid_t pid;
    int pidfd;
};

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

void sendSignal(const Target &t, int sig)
{
#ifdef SYS_pidfd_send_signal
    if (t.pidfd >= 0) {
        ::syscall(SYS_pidfd_send_signal, t.pidfd, sig, nullptr, 0);
        return;
    }
#endif
    ::kill(t.pid, sig);
}

bool stillAlive(const Target &t)
{
    if (t.pidfd >= 0) {
        pollfd p{t.pidfd, POLLIN, 0};
        return ::poll(&p, 1, 0) == 0;
    }
    return ::kill(t.pid, 0) == 0;
}

long monotonicMs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Runs in a forked child of a threaded program: only async-signal-safe calls.
[[noreturn]] void reapAfterGracePeriod(Target *targets, pollfd *fds, size_t count, long graceMs)
{
    // Let go of the front-end's files (display connection, pipes) so that
    // nothing waits on this process.
    rlimit limit{};
    const long maxFd =
        (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536) ? long(limit.rlim_cur) : 65536L;
    for (long fd = 0; fd < maxFd; ++fd) {
        bool keep = false;
        for (size_t i = 0; i < count; ++i)
            keep = keep || targets[i].pidfd == fd;
        if (!keep)
            ::close(int(fd));
    }

    const long deadline = monotonicMs() + graceMs;
    for (;;) {
        bool anyAlive = false;
        for (size_t i = 0; i < count; ++i)
            anyAlive = anyAlive || stillAlive(targets[i]);
        const long left = deadline - monotonicMs();
        if (!anyAlive || left <= 0)
            break;
        // A pidfd becomes readable when its process ends; processes without
        // one are polled every 100 ms.
        ::poll(fds, nfds_t(count), int(std::min(left, 100L)));
    }
    for (size_t i = 0; i < count; ++i) {
        if (stillAlive(targets[i]))
            sendSignal(targets[i], SIGKILL);
    }
    ::_exit(0);
}

QString executableName(const QString &procEntry)
{
    QString target = QFile::symLinkTarget(procEntry + QStringLiteral("/exe"));
    // A binary replaced while running (a rebuild) still carries its old name.
    const QString deleted = QStringLiteral(" (deleted)");
    if (target.endsWith(deleted))
        target.chop(deleted.size());
    return QFileInfo(target).fileName();
}

Result spawnDetached(const QString &program)
{
    // posix_spawn rather than QProcess::startDetached: that forks the whole
    // GUI twice, several times the cost of the files Start writes. The server
    // gets a session of its own and no terminal; its output goes nowhere so
    // that it can never block on a full pipe. It inherits the working
    // directory, which is where Start wrote its files.
    const QByteArray path = QFile::encodeName(program);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // None of the window's descriptors belong to the server.
    ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t defaultSignals;
    sigemptyset(&defaultSignals);
    sigaddset(&defaultSignals, SIGPIPE);
    ::posix_spawnattr_setsigmask(&attributes, &noSignals);
    ::posix_spawnattr_setsigdefault(&attributes, &defaultSignals);
    ::posix_spawnattr_setflags(&attributes,
                               POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    char *argv[] = {const_cast<char *>(path.constData()), nullptr};
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, path.constData(), &actions, &attributes, argv, environ);
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        return Result::failure(QStringLiteral("Could not start %1: %2")
                                   .arg(QDir::toNativeSeparators(program), qt_error_string(error)));

    // The server is our child now: wait for it on a thread of its own, so it
    // never lingers as a zombie and the window never blocks.
    std::thread([pid] {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return Result::success();
}

} // namespace

std::vector<pid_t> processesByImageName(const QString &imageName)
{
    std::vector<pid_t> found;
    const QDir proc(QStringLiteral("/proc"));
    const uid_t me = ::getuid();
    const pid_t self = ::getpid();
    for (const QString &entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const pid_t pid = pid_t(entry.toLong(&isPid));
        if (!isPid || pid == self)
            continue;
        const QString path = proc.filePath(entry);
        struct stat st
        {
        };
        if (::stat(QFile::encodeName(path).constData(), &st) != 0 || st.st_uid != me)
            continue;
        if (executableName(path) == imageName)
            found.push_back(pid);
    }
    return found;
}

PosixServerControl::PosixServerControl()
    : PosixServerControl(Options{QCoreApplication::applicationDirPath(), {}})
{}

PosixServerControl::PosixServerControl(Options options) : m_options(std::move(options)) {}

QStringList PosixServerControl::searchDirectories() const
{
    QStringList dirs{m_options.programDir, QDir::currentPath()};
    const QString path = QString::fromLocal8Bit(qgetenv("PATH"));
    for (const QString &dir : path.split(u':', Qt::SkipEmptyParts))
        dirs.append(dir);
    return dirs;
}

std::optional<QString> PosixServerControl::findServerProgram() const
{
    for (const QString &dir : searchDirectories()) {
        if (dir.isEmpty())
            continue;
        const QFileInfo candidate(QDir(dir).filePath(programName()));
        if (candidate.isFile() && candidate.isExecutable())
            return candidate.absoluteFilePath();
    }
    return std::nullopt;
}

LaunchResult PosixServerControl::launchServer()
{
    const std::optional<QString> program = findServerProgram();
    if (!program) {
        // A server file that may not be run is a different fault from a
        // missing one, and the operator fixes it differently.
        for (const QString &dir : searchDirectories()) {
            const QFileInfo candidate(QDir(dir).filePath(programName()));
            if (!dir.isEmpty() && candidate.isFile()) {
                return {
                    Result::failure(
                        QStringLiteral("Could not start %1: it is not executable (no execute permission).")
                            .arg(QDir::toNativeSeparators(candidate.absoluteFilePath()))),
                    {}};
            }
        }
        return {Result::failure(QStringLiteral("Server program %1 not found in %2, %3 or PATH.")
                                    .arg(programName(), QDir::toNativeSeparators(m_options.programDir),
                                         QDir::toNativeSeparators(QDir::currentPath()))),
                {}};
    }
    return {spawnDetached(*program), {}};
}

std::optional<qint64> PosixServerControl::adoptRunningServer()
{
    return std::nullopt;
}

Result PosixServerControl::stopServers()
{
    if (!QFileInfo(QStringLiteral("/proc/self")).exists())
        return Result::failure(
            QStringLiteral("Cannot stop the server: the process list (/proc) is not readable."));

    std::vector<Target> targets;
    for (const pid_t pid : processesByImageName(programName())) {
        const int pidfd = openPidfd(pid);
        if (pidfd < 0 && errno == ESRCH)
            continue; // ended by itself meanwhile
        targets.push_back({pid, pidfd});
        sendSignal(targets.back(), SIGTERM);
    }
    if (targets.empty()) {
        QMetaObject::invokeMethod(this, &ServerControl::serversStopped, Qt::QueuedConnection);
        return Result::success();
    }

    // A detached child waits out the grace period, so that neither the window
    // nor the front-end's exit waits for it.
    std::vector<pollfd> fds;
    for (const Target &t : targets)
        fds.push_back({t.pidfd, POLLIN, 0});
    const long graceMs = long(m_options.stopGracePeriod.count());
    const pid_t child = ::fork();
    const int forkError = errno;
    if (child == 0) {
        ::setsid();
        if (::fork() == 0)
            reapAfterGracePeriod(targets.data(), fds.data(), targets.size(), graceMs);
        ::_exit(0);
    }
    if (child > 0)
        ::waitpid(child, nullptr, 0);
    for (const Target &t : targets) {
        if (t.pidfd >= 0)
            ::close(t.pidfd);
    }
    if (child < 0) {
        return Result::failure(QStringLiteral("Asked the server to stop, but cannot make sure it ends: %1")
                                   .arg(qt_error_string(forkError)));
    }
    QMetaObject::invokeMethod(this, &ServerControl::serversStopped, Qt::QueuedConnection);
    return Result::success();
}

Result PosixServerControl::openUrl(const QString &url)
{
    QProcess opener;
    opener.setProgram(QStringLiteral("xdg-open"));
    opener.setArguments({url});
    opener.setStandardInputFile(QProcess::nullDevice());
    opener.setStandardOutputFile(QProcess::nullDevice());
    opener.setStandardErrorFile(QProcess::nullDevice());
    if (!opener.startDetached()) {
        return Result::failure(
            QStringLiteral("Could not open %1: no web browser opener (xdg-open) could be started.").arg(url));
    }
    return Result::success();
}
