#include "posixservercontrol.h"

#include "logline.h"
#include "processscan.h"
#include "processwatch.h"
#include "reaper.h"
#include "workingfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

extern char **environ;

namespace {

struct ServerLog
{
    UniqueFd fd;
    QString problem; // why there is none
};

// Keeps the previous run's log as orbelithsrv.log.1 and opens a fresh one.
// The front-end opens it, not the server, so that a log that cannot be kept
// is said in the window, and hands it over as a file, not a pipe, so that the
// server never waits on the window and goes on logging when it is gone.
ServerLog openServerLog()
{
    const QByteArray log = QFile::encodeName(kServerLogFileName);
    struct stat st
    {
    };
    // A directory in the way is the operator's, not an old log.
    if (::lstat(log.constData(), &st) == 0 && !S_ISDIR(st.st_mode))
        (void)::rename(log.constData(), QFile::encodeName(kPreviousServerLogFileName).constData());
    // Read and write: its end is read back for the server's last words. The
    // mode is the umask's.
    const int fd = ::open(log.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0)
        return {UniqueFd(), qt_error_string(errno)};
    return {UniqueFd(fd), {}};
}

// A program started in a session of its own and without a terminal, standard
// input from /dev/null, output into outputFd (or /dev/null), none of the
// window's other descriptors, and the signals the window blocks or ignores
// back at their defaults. It inherits the working directory. searchPath: look
// the program up in PATH. Returns 0 or the error number.
int spawnInSession(const QByteArray &program, const QByteArrayList &arguments, int outputFd, bool searchPath,
                   pid_t *pid)
{
    // posix_spawn rather than QProcess::startDetached: that forks the whole
    // GUI twice, several times the cost of the files Start writes.
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (outputFd >= 0) {
        ::posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
        ::posix_spawn_file_actions_adddup2(&actions, outputFd, STDERR_FILENO);
    } else {
        ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t defaultSignals;
    sigemptyset(&defaultSignals);
    for (const int signal : {SIGPIPE, SIGTERM, SIGHUP, SIGINT})
        sigaddset(&defaultSignals, signal);
    ::posix_spawnattr_setsigmask(&attributes, &noSignals);
    ::posix_spawnattr_setsigdefault(&attributes, &defaultSignals);
    ::posix_spawnattr_setflags(&attributes,
                               POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char *> argv{const_cast<char *>(program.constData())};
    for (const QByteArray &argument : arguments)
        argv.push_back(const_cast<char *>(argument.constData()));
    argv.push_back(nullptr);
    const int error =
        searchPath ? ::posix_spawnp(pid, program.constData(), &actions, &attributes, argv.data(), environ)
                   : ::posix_spawn(pid, program.constData(), &actions, &attributes, argv.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    return error;
}

// The interpreter that the #! line of a script names, as the kernel reads it:
// the first word after "#!" in the file's first bytes. Empty for anything
// else, and for what is not a regular file (a FIFO would block the read).
QByteArray scriptInterpreter(const QByteArray &path)
{
    // As much as the kernel reads of a #! line.
    constexpr qsizetype kLineBytes = 256;
    const UniqueFd fd(::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st
    {
    };
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    QByteArray head(kLineBytes, Qt::Uninitialized);
    ssize_t got;
    do {
        got = ::read(fd.get(), head.data(), size_t(head.size()));
    } while (got < 0 && errno == EINTR);
    if (got < 2)
        return {};
    head.truncate(got);
    if (!head.startsWith("#!"))
        return {};
    const qsizetype lineEnd = head.indexOf('\n');
    const QByteArray line = head.mid(2, lineEnd < 0 ? -1 : lineEnd - 2);
    qsizetype start = 0;
    while (start < line.size() && (line[start] == ' ' || line[start] == '\t'))
        ++start;
    qsizetype end = start;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\0')
        ++end;
    // A name that runs into the end of what was read may be cut short.
    if (end == start || (lineEnd < 0 && end == line.size()))
        return {};
    return line.mid(start, end - start);
}

// Why the server program could not be started, in the window's words. ENOENT
// for a file that is there means that the program it needs to run is missing:
// for a script, its interpreter is named.
QString launchFailureText(const QString &program, int error)
{
    const QString prefix = QStringLiteral("Could not start %1: ").arg(QDir::toNativeSeparators(program));
    if (error == ENOENT) {
        QByteArray interpreter = scriptInterpreter(QFile::encodeName(program));
        if (!interpreter.isEmpty()) {
            // Windows line ends leave a carriage return in the name, which
            // the kernel looks for but the window would not show.
            const bool carriageReturn = interpreter.endsWith('\r');
            if (carriageReturn)
                interpreter.chop(1);
            const QString name = lastLogLine(interpreter, true);
            if (carriageReturn) {
                return prefix + QStringLiteral("its interpreter %1 was not found: its #! line ends in a "
                                               "carriage return (Windows line ends).")
                                    .arg(name);
            }
            if (::access(interpreter.constData(), F_OK) != 0)
                return prefix + QStringLiteral("its interpreter %1 was not found.").arg(name);
            return prefix + QStringLiteral("its interpreter %1 could not be started (%2).")
                                .arg(name, qt_error_string(error));
        }
    }
    return prefix + qt_error_string(error);
}

// The server runs with its output in the log, or in /dev/null when there is
// none; which it is the window has said.
Result spawnServer(const QString &program, int logFd, pid_t *pid)
{
    const int error = spawnInSession(QFile::encodeName(program), {}, logFd, false, pid);
    if (error != 0)
        return Result::failure(launchFailureText(program, error));
    return Result::success();
}

bool currentDirectory(DirectoryId *id, QString *problem)
{
    if (directoryId(".", id))
        return true;
    *problem = qt_error_string(errno);
    return false;
}

// Whether the process writes its output into the file open as fd.
bool writesInto(pid_t pid, int fd)
{
    struct stat out
    {
    };
    struct stat log
    {
    };
    return ::stat(QStringLiteral("/proc/%1/fd/1").arg(pid).toLocal8Bit().constData(), &out) == 0 &&
           ::fstat(fd, &log) == 0 && out.st_dev == log.st_dev && out.st_ino == log.st_ino;
}

} // namespace

PosixServerControl::PosixServerControl() : PosixServerControl(Options{QCoreApplication::applicationDirPath()})
{}

PosixServerControl::PosixServerControl(Options options) : m_options(std::move(options)) {}

PosixServerControl::~PosixServerControl() = default;

QStringList PosixServerControl::searchDirectories() const
{
    QStringList dirs{m_options.programDir, workingFolder()};
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

std::optional<qint64> PosixServerControl::watchedServer() const
{
    if (m_watched)
        return m_watched->pid();
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

    ServerLog log = openServerLog();
    pid_t pid = -1;
    const Result spawned = spawnServer(*program, log.fd.get(), &pid);
    if (!spawned.ok())
        return {spawned, {}};
    // The child cannot be reaped before this: only this process waits for it.
    UniqueFd pidfd(m_options.usePidfd ? openPidfd(pid) : -1);
    watch(new ProcessWatch(pid, std::move(pidfd), true, this), std::move(log.fd));
    return {Result::success(), log.problem, pid};
}

void PosixServerControl::watch(ProcessWatch *watch, UniqueFd log)
{
    if (m_watched) {
        // Not expected (Start is disabled while a server runs), but an own
        // child must still be reaped when it ends.
        ProcessWatch *previous = m_watched;
        disconnect(previous, nullptr, this, nullptr);
        connect(previous, &ProcessWatch::ended, previous, &QObject::deleteLater);
    }
    m_watched = watch;
    m_log = std::move(log);
    connect(watch, &ProcessWatch::ended, this, &PosixServerControl::watchedServerEnded);
}

void PosixServerControl::watchedServerEnded(const ServerExit &exit)
{
    ProcessWatch *ended = m_watched;
    m_watched = nullptr;
    if (ended)
        ended->deleteLater();

    // A server that puts itself in the background exits with 0 once its
    // copy runs: watch that one instead.
    if (exit.kind == ServerExit::Kind::Exited && exit.code == 0) {
        DirectoryId here;
        QString problem;
        if (currentDirectory(&here, &problem)) {
            std::vector<HeldProcess> servers =
                serversInDirectory(programName().toStdString(), here, m_options.usePidfd);
            if (!servers.empty()) {
                HeldProcess &server = servers.front();
                watch(new ProcessWatch(server.pid, std::move(server.pidfd), false, this), std::move(m_log));
                return;
            }
        }
    }
    ServerExit reported = exit;
    reported.lastLine = lastLineOfLog();
    m_log.reset();
    emit serverEnded(reported);
}

QString PosixServerControl::lastLineOfLog() const
{
    struct stat st
    {
    };
    if (!m_log.valid() || ::fstat(m_log.get(), &st) != 0)
        return {};
    const off_t start = std::max<off_t>(0, st.st_size - kLogTailBytes);
    QByteArray tail(qsizetype(st.st_size - start), Qt::Uninitialized);
    const ssize_t got = ::pread(m_log.get(), tail.data(), size_t(tail.size()), start);
    if (got <= 0)
        return {};
    tail.truncate(got);
    return lastLogLine(tail, start == 0);
}

void PosixServerControl::prepareAdoption()
{
    QString problem;
    if (m_adoptionSearch.valid() || !currentDirectory(&m_adoptionFolder, &problem))
        return;
    m_adoptionSearch = std::async(std::launch::async, [this, name = programName().toStdString(),
                                                       folder = m_adoptionFolder,
                                                       usePidfd = m_options.usePidfd] {
        std::vector<HeldProcess> found = serversInDirectory(name, folder, usePidfd);
        // Posted before the control's members are destroyed (the future's
        // destructor waits for this), and dropped with the control.
        QMetaObject::invokeMethod(this, &PosixServerControl::adoptionSearchFinished, Qt::QueuedConnection);
        return found;
    });
}

std::optional<qint64> PosixServerControl::adoptRunningServer()
{
    DirectoryId here;
    QString problem;
    if (!currentDirectory(&here, &problem))
        return std::nullopt;
    std::vector<HeldProcess> servers;
    if (m_adoptionSearch.valid() && m_adoptionFolder == here) {
        if (m_adoptionSearch.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            // Not done yet: the window is shown meanwhile, and told by
            // serverAdopted() when a server turns up.
            m_adoptWhenFound = true;
            return std::nullopt;
        }
        servers = m_adoptionSearch.get();
    } else {
        if (m_adoptionSearch.valid())
            m_adoptionSearch.get();
        servers = serversInDirectory(programName().toStdString(), here, m_options.usePidfd);
    }
    return adoptFirstOf(std::move(servers));
}

void PosixServerControl::adoptionSearchFinished()
{
    if (!m_adoptWhenFound || !m_adoptionSearch.valid())
        return;
    m_adoptWhenFound = false;
    std::vector<HeldProcess> servers = m_adoptionSearch.get();
    // Started or stopping meanwhile: the window has moved on.
    if (m_watched || !m_stopping.empty())
        return;
    if (const std::optional<qint64> pid = adoptFirstOf(std::move(servers)))
        emit serverAdopted(*pid);
}

std::optional<qint64> PosixServerControl::adoptFirstOf(std::vector<HeldProcess> servers)
{
    // Those that ended since the search found them are left out.
    servers.erase(
        std::remove_if(servers.begin(), servers.end(), [](const HeldProcess &p) { return !isRunning(p); }),
        servers.end());
    if (servers.empty())
        return std::nullopt;
    HeldProcess &server = servers.front();
    // Its last words are known only when it writes into this folder's log.
    UniqueFd log(
        ::open(QFile::encodeName(kServerLogFileName).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (log.valid() && !writesInto(server.pid, log.get()))
        log.reset();
    const pid_t pid = server.pid;
    watch(new ProcessWatch(pid, std::move(server.pidfd), false, this), std::move(log));
    return pid;
}

Result PosixServerControl::stopServers()
{
    DirectoryId here;
    QString problem;
    if (!currentDirectory(&here, &problem))
        return Result::failure(
            QStringLiteral("Cannot stop the server: the current folder cannot be read (%1).").arg(problem));
    if (!QFileInfo(QStringLiteral("/proc/self")).exists())
        return Result::failure(
            QStringLiteral("Cannot stop the server: the process list (/proc) is not readable."));

    std::vector<ProcessWatch *> asked;
    // The one launched or adopted here is known by its pidfd, whatever its
    // file is called; the scan adds servers started by hand in this folder.
    std::vector<HeldProcess> others;
    if (m_watched) {
        asked.push_back(m_watched);
        disconnect(m_watched, &ProcessWatch::ended, this, &PosixServerControl::watchedServerEnded);
        // What a launched wrapper started runs in its group, named anything.
        if (m_watched->ownChild() && !m_watched->hasEnded())
            others = processGroupMembers(m_watched->pid(), m_options.usePidfd);
        m_watched = nullptr;
        m_log.reset();
    }
    for (HeldProcess &server : serversInDirectory(programName().toStdString(), here, m_options.usePidfd))
        others.push_back(std::move(server));
    for (HeldProcess &server : others) {
        const bool known = std::any_of(m_stopping.begin(), m_stopping.end(),
                                       [&](const ProcessWatch *w) { return w->pid() == server.pid; }) ||
                           std::any_of(asked.begin(), asked.end(),
                                       [&](const ProcessWatch *w) { return w->pid() == server.pid; });
        if (!known)
            asked.push_back(new ProcessWatch(server.pid, std::move(server.pidfd), false, this));
    }

    std::vector<ReapTarget> targets;
    for (ProcessWatch *w : asked) {
        w->sendSignal(SIGTERM, true);
        targets.push_back({w->pid(), w->pidfd(), w->ownChild()});
        m_stopping.push_back(w);
        connect(w, &ProcessWatch::ended, this, [this, w] { stoppingServerEnded(w); });
    }
    const Result reaping = startReaper(targets, m_options.stopGracePeriod);
    if (m_stopping.empty())
        QMetaObject::invokeMethod(this, &ServerControl::serversStopped, Qt::QueuedConnection);
    return reaping;
}

void PosixServerControl::stoppingServerEnded(ProcessWatch *watch)
{
    m_stopping.erase(std::remove(m_stopping.begin(), m_stopping.end(), watch), m_stopping.end());
    watch->deleteLater();
    if (m_stopping.empty())
        emit serversStopped();
}

Result PosixServerControl::openUrl(const QString &url)
{
    // xdg-open tells by its status whether a browser took the address; it is
    // watched like a server, so that the window neither waits for it nor
    // leaves it a zombie.
    pid_t pid = -1;
    if (spawnInSession("xdg-open", {QFile::encodeName(url)}, -1, true, &pid) != 0) {
        return Result::failure(
            QStringLiteral("Could not open %1: no web browser opener (xdg-open) could be started.").arg(url));
    }
    auto *opener = new ProcessWatch(pid, UniqueFd(m_options.usePidfd ? openPidfd(pid) : -1), true, this);
    connect(opener, &ProcessWatch::ended, this, [this, opener, url](const ServerExit &exit) {
        opener->deleteLater();
        const QString problem = openerFailureText(url, exit);
        if (!problem.isEmpty())
            emit urlOpenFailed(problem);
    });
    return Result::success();
}

QString openerFailureText(const QString &url, const ServerExit &exit)
{
    const QString prefix = QStringLiteral("Could not open %1: ").arg(url);
    switch (exit.kind) {
    case ServerExit::Kind::Exited:
        if (exit.code == 0)
            return {};
        // xdg-open's own word for "no browser, or no tool to find one".
        if (exit.code == 3)
            return prefix + QStringLiteral("xdg-open found no program to open it (exit status 3).");
        return prefix + QStringLiteral("xdg-open failed (exit status %1).").arg(exit.code);
    case ServerExit::Kind::Signalled:
        return prefix +
               QStringLiteral("xdg-open was ended by signal %1 (%2).").arg(exit.code).arg(exit.signalName);
    case ServerExit::Kind::Unknown:
        break;
    }
    return {};
}
