#include "posixservercontrol.h"

#include "logline.h"
#include "platformfiles.h"
#include "posix/users.h"
#include "processscan.h"
#include "processwatch.h"
#include "reaper.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

extern char **environ;

namespace {

struct ServerLog
{
    UniqueFd fd;
    // Why there is none, or why the previous run's log is not kept under its
    // own name, this run going on in the same log or under the new log's name.
    LogNote note{};
    // Made under the new log's name, to take the log's once the server has
    // started.
    bool fresh = false;
};

ServerLog noLog(LogNote::Kind why, const QString &error = {})
{
    return {UniqueFd(), {why, error, {}}};
}

bool isRegularFile(int fd)
{
    struct stat st
    {
    };
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// What lies at one of the log's names. This program renames and removes
// only regular files of this user's, which it made itself: never a folder, a
// FIFO, a link, or another user's file, such as one put there in a folder
// that everyone may write to.
struct NameState
{
    bool exists = false;
    bool ours = false;
    bool folder = false;
};

NameState lookAt(const QString &name)
{
    struct stat st
    {
    };
    if (::lstat(QFile::encodeName(name).constData(), &st) != 0)
        return {};
    return {true, S_ISREG(st.st_mode) && st.st_uid == ::geteuid(), S_ISDIR(st.st_mode)};
}

// Why the log could not become the previous run's, should this run's take
// its name: None when it can.
LogNote::Kind rotationBlocked()
{
    const NameState previous = lookAt(kPreviousServerLogFileName);
    if (!lookAt(kServerLogFileName).exists || !previous.exists || previous.ours)
        return LogNote::Kind::None;
    return previous.folder ? LogNote::Kind::PreviousIsFolder : LogNote::Kind::PreviousNotOwn;
}

bool renameLog(const QString &from, const QString &to)
{
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// Opens the log by its name, to add to it: only a regular file, and never by
// a link, so that nothing another user plants there (a FIFO, a link to a
// device) can make the window or the server wait.
ServerLog openLogByName(const QByteArray &log)
{
    const int fd = ::open(log.constData(),
                          O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0666);
    if (fd < 0)
        return noLog(LogNote::Kind::NoLog, qt_error_string(errno));
    UniqueFd opened(fd);
    if (!isRegularFile(fd))
        return noLog(LogNote::Kind::LogNotOwn);
    (void)::fcntl(fd, F_SETFL, O_APPEND);
    return {std::move(opened)};
}

// The log of the run about to start. The front-end opens it, not the server,
// so that a log that cannot be kept is said in the window, and hands it over
// as a file, not a pipe, so that the server never waits on the window and
// goes on logging when it is gone. It is made under the new log's name and
// takes the log's only once the server has started (putLogInPlace): a Start
// whose launch fails leaves the last real run's log, often the reason it
// crashed. Whether the previous log can then be kept is found out here,
// before the launch.
ServerLog prepareLog()
{
    const NameState log = lookAt(kServerLogFileName);
    if (log.exists && !log.ours) {
        // Not this program's to move: the server runs unheard.
        return log.folder ? noLog(LogNote::Kind::NoLog, qt_error_string(EISDIR))
                          : noLog(LogNote::Kind::LogNotOwn);
    }
    // The log of a run whose Start could not rotate, or went away during the
    // launch: the last run that ran. It takes the log's name as that Start
    // would have given it.
    if (lookAt(kNewServerLogFileName).ours && rotationBlocked() == LogNote::Kind::None &&
        (!log.exists || renameLog(kServerLogFileName, kPreviousServerLogFileName)))
        (void)renameLog(kNewServerLogFileName, kServerLogFileName);

    const auto addedToOld = [](LogNote::Kind why, const QString &error = {}) {
        ServerLog added = openLogByName(QFile::encodeName(kServerLogFileName));
        if (added.fd.valid())
            added.note = {why, error, {}};
        return added;
    };
    if (const LogNote::Kind blocked = rotationBlocked(); blocked != LogNote::Kind::None)
        return addedToOld(blocked);
    // The mode is the umask's.
    const int fd = ::open(QFile::encodeName(kNewServerLogFileName).constData(),
                          O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0)
        return {UniqueFd(fd), {}, true};
    const int error = errno;
    if (!lookAt(kServerLogFileName).exists)
        return noLog(LogNote::Kind::NoLog, qt_error_string(error));
    return addedToOld(LogNote::Kind::NoNewLog, qt_error_string(error));
}

// The server has started: the previous run's log becomes the previous log,
// and this run's takes the log's name. Should the launch fail, dropLog
// removes it.
void putLogInPlace(ServerLog &log)
{
    if (!log.fresh)
        return;
    log.fresh = false;
    if (lookAt(kServerLogFileName).exists && !renameLog(kServerLogFileName, kPreviousServerLogFileName)) {
        // The previous log stays as it was, and this run is heard under the
        // new log's name, which the next Start keeps.
        log.note = {LogNote::Kind::OldNotRenamed, qt_error_string(errno), kNewServerLogFileName};
        return;
    }
    if (!renameLog(kNewServerLogFileName, kServerLogFileName))
        log.note = {LogNote::Kind::NewNotRenamed, qt_error_string(errno), kNewServerLogFileName};
}

void dropLog(const ServerLog &log)
{
    if (log.fresh)
        (void)::unlink(QFile::encodeName(kNewServerLogFileName).constData());
}

// An input that never ends, for a server that reads commands from it: a
// pipe, opened again through /proc for reading and writing, so that its one
// descriptor is both of its ends. The server holds the writing end itself:
// a read waits rather than see the input end, also after this program has
// ended. Invalid, with errno set, when it cannot be made.
UniqueFd endlessInput()
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return UniqueFd();
    const UniqueFd readEnd(ends[0]);
    const UniqueFd writeEnd(ends[1]);
    const QByteArray both = "/proc/self/fd/" + QByteArray::number(ends[0]);
    const int fd = ::open(both.constData(), O_RDWR | O_CLOEXEC);
    const int error = errno;
    UniqueFd input(fd);
    errno = error;
    return input;
}

// A program started in a session of its own and without a terminal, its
// input from inputFd (or /dev/null), its output into outputFd (or
// /dev/null), none of the window's other descriptors, and the signals the
// window blocks or ignores back at their defaults. It inherits the working
// directory. searchPath: look the program up in PATH. Returns 0 or the error
// number.
int spawnInSession(const QByteArray &program, const QByteArrayList &arguments, int inputFd, int outputFd,
                   bool searchPath, pid_t *pid)
{
    // posix_spawn rather than QProcess::startDetached: that forks the whole
    // GUI twice, several times the cost of the files Start writes.
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    if (inputFd >= 0)
        ::posix_spawn_file_actions_adddup2(&actions, inputFd, STDIN_FILENO);
    else
        ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (outputFd >= 0) {
        ::posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
        ::posix_spawn_file_actions_adddup2(&actions, outputFd, STDERR_FILENO);
    } else {
        ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    // Nothing else of the window's, the lock on the folder included.
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

// Why the server program could not be started. ENOENT for a file that is
// there means that the program it needs to run is missing: for a script, its
// interpreter is named.
ControlProblem launchProblem(const QString &program, int error)
{
    ControlProblem problem(ControlProblem::Kind::LaunchFailed, program, {}, qt_error_string(error));
    if (error == ENOEXEC)
        problem.kind = ControlProblem::Kind::NotAProgram;
    if (error != ENOENT)
        return problem;
    QByteArray interpreter = scriptInterpreter(QFile::encodeName(program));
    if (interpreter.isEmpty())
        return problem;
    // Windows line ends leave a carriage return in the name, which the
    // kernel looks for but the window would not show.
    const bool carriageReturn = interpreter.endsWith('\r');
    if (carriageReturn)
        interpreter.chop(1);
    problem.detail = lastLogLine(interpreter, true);
    if (carriageReturn)
        problem.kind = ControlProblem::Kind::InterpreterCarriageReturn;
    else if (::access(interpreter.constData(), F_OK) != 0)
        problem.kind = ControlProblem::Kind::InterpreterNotFound;
    else
        problem.kind = ControlProblem::Kind::InterpreterNotStarted;
    return problem;
}

// The server runs with an input that never ends, and its output in the log,
// or in /dev/null when there is none; which it is the window says.
std::optional<ControlProblem> spawnServer(const QString &program, int logFd, pid_t *pid)
{
    const UniqueFd input = endlessInput();
    if (!input.valid())
        return ControlProblem(ControlProblem::Kind::LaunchFailed, program, {}, qt_error_string(errno));
    if (const int error = spawnInSession(QFile::encodeName(program), {}, input.get(), logFd, false, pid))
        return launchProblem(program, error);
    return std::nullopt;
}

// Whether users other than this one, and root, may write into the folder:
// its owner, or its group or everyone by its mode.
bool othersMayWrite(const QString &folder)
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(folder).constData(), &st) != 0)
        return false;
    return (st.st_uid != ::geteuid() && st.st_uid != 0) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Why the program at path may not be run; nothing when it may. A program, or
// a link on the way to it, that belongs neither to this user nor to root, in
// a folder that other users may write to, may have been put there by anyone:
// run by the operator (by root, even), it would act with the operator's
// rights.
std::optional<ControlProblem> untrustedProgram(const QString &path)
{
    QString current = path;
    // As many links as the kernel follows.
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st
        {
        };
        if (::lstat(QFile::encodeName(current).constData(), &st) != 0)
            return std::nullopt; // the launch says what is wrong
        const QString folder = QFileInfo(current).absolutePath();
        if (st.st_uid != ::geteuid() && st.st_uid != 0 && othersMayWrite(folder)) {
            ControlProblem problem(ControlProblem::Kind::ProgramNotTrusted, current, userName(st.st_uid));
            problem.folders = QStringList{folder};
            return problem;
        }
        if (!S_ISLNK(st.st_mode))
            return std::nullopt;
        current = QFileInfo(current).symLinkTarget();
    }
    return std::nullopt;
}

// Why the process list could not be read through, as ProcessSearch::error
// says.
ControlProblem processListProblem(int error)
{
    return ControlProblem(ControlProblem::Kind::ProcessListUnreadable, {}, {},
                          error == kNoProcessList ? QString() : qt_error_string(error));
}

// The current folder's identity; or why it cannot be known: it cannot be
// read, or it was removed (getcwd says so), where servers started in it may
// run on.
std::optional<ControlProblem> currentDirectory(DirectoryId *id)
{
    char name[PATH_MAX];
    if ((::getcwd(name, sizeof name) != nullptr || errno != ENOENT) && directoryId(".", id))
        return std::nullopt;
    return ControlProblem(ControlProblem::Kind::FolderUnreadable, {}, {}, qt_error_string(errno));
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
            if (!dir.isEmpty() && candidate.isFile())
                return LaunchResult::failed(
                    ControlProblem(ControlProblem::Kind::ProgramNotExecutable, candidate.absoluteFilePath()));
        }
        ControlProblem missing(ControlProblem::Kind::ProgramNotFound, programName());
        missing.folders = QStringList{m_options.programDir, QDir::currentPath()};
        return LaunchResult::failed(missing);
    }

    if (std::optional<ControlProblem> untrusted = untrustedProgram(*program))
        return LaunchResult::failed(std::move(*untrusted));
    // Every server is held by a pidfd, to be watched and signalled without
    // ever reaching a process that took over its PID. Where the kernel gives
    // none (before Linux 5.3, or a sandbox that refuses them), nothing is
    // launched that could be neither.
    if (const UniqueFd probe(openPidfd(::getpid())); !probe.valid())
        return LaunchResult::failed(
            ControlProblem(ControlProblem::Kind::CannotWatch, *program, {}, qt_error_string(errno)));

    ServerLog log = prepareLog();
    pid_t pid = -1;
    if (std::optional<ControlProblem> failed = spawnServer(*program, log.fd.get(), &pid)) {
        dropLog(log);
        return LaunchResult::failed(std::move(*failed));
    }
    // The child cannot be reaped before this: only this process waits for it.
    UniqueFd pidfd(openPidfd(pid));
    if (!pidfd.valid()) {
        const int error = errno;
        // Not reaped yet, so its PID and group are still its own.
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        dropLog(log);
        return LaunchResult::failed(
            ControlProblem(ControlProblem::Kind::EndedUnwatched, *program, {}, qt_error_string(error)));
    }
    putLogInPlace(log);
    m_launchGroup = -1;
    watch(new ProcessWatch(pid, std::move(pidfd), true, this), std::move(log.fd));
    return {std::nullopt, pid, log.note};
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

    // A launcher that puts the server in the background exits with 0 once its
    // child runs: watch that one instead. Its child may not have become the
    // server yet, so what it left in its process group (it leads a session
    // and group of its own) comes first; then the folder's servers, for a
    // daemon that left the group too.
    if (ended && ended->ownChild() && exit.kind == ServerExit::Kind::Exited && exit.code == 0) {
        if (std::optional<HeldProcess> server = backgroundedServer(ended->pid())) {
            watch(new ProcessWatch(server->pid, std::move(server->pidfd), false, this), std::move(m_log));
            return;
        }
    }
    m_launchGroup = -1;
    ServerExit reported = exit;
    reported.lastLine = lastLineOfLog();
    m_log.reset();
    emit serverEnded(reported);
}

std::optional<HeldProcess> PosixServerControl::backgroundedServer(pid_t launcher)
{
    // The group's ID stays the launcher's while anything is left in it, so
    // it names no one else's processes.
    std::vector<HeldProcess> left = processesLedBy({launcher}).processes;
    DirectoryId here;
    std::vector<HeldProcess> servers;
    if (!currentDirectory(&here))
        servers = serversInDirectory(serverIdentity(), here).processes;
    // Of those left in the group, one that is already the server, else the
    // first started, which is the child that is becoming it.
    for (HeldProcess &member : left) {
        if (std::any_of(servers.begin(), servers.end(),
                        [&](const HeldProcess &s) { return s.pid == member.pid; })) {
            m_launchGroup = launcher;
            return std::move(member);
        }
    }
    if (!left.empty()) {
        m_launchGroup = launcher;
        return std::move(left.front());
    }
    if (!servers.empty())
        return std::move(servers.front());
    return std::nullopt;
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

ServerIdentity PosixServerControl::serverIdentity() const
{
    ServerIdentity identity{programName().toStdString(), {}};
    // A program that Start would refuse to run tells no process to be the
    // server: another user's link to any program would make it one.
    const std::optional<QString> program = findServerProgram();
    if (program && !untrustedProgram(*program))
        identity.program = QFile::encodeName(QFileInfo(*program).canonicalFilePath()).toStdString();
    return identity;
}

SearchAnswer PosixServerControl::answerWith(ProcessSearch found)
{
    if (const std::optional<qint64> pid = adoptFirstOf(std::move(found.processes)))
        return {SearchAnswer::Outcome::Running, *pid, std::nullopt};
    // None found where not all could be looked at: whether one runs cannot
    // be told.
    if (found.error != 0)
        return {SearchAnswer::Outcome::Unknown, 0, processListProblem(found.error)};
    return {};
}

SearchAnswer PosixServerControl::findRunningServer()
{
    DirectoryId here;
    if (std::optional<ControlProblem> unknown = currentDirectory(&here))
        return {SearchAnswer::Outcome::Unknown, 0, std::move(unknown)};
    return answerWith(serversInDirectory(serverIdentity(), here));
}

void PosixServerControl::startSearch()
{
    DirectoryId here;
    const std::optional<ControlProblem> unknown = currentDirectory(&here);
    if (unknown || m_search.valid()) {
        const SearchAnswer answer{SearchAnswer::Outcome::Unknown, 0, unknown};
        QMetaObject::invokeMethod(
            this, [this, answer] { emit searchAnswered(answer); }, Qt::QueuedConnection);
        return;
    }
    // Reads every process's /proc entry on a thread: with a thousand
    // processes that takes milliseconds, which the window's first paint would
    // otherwise wait for. The server found is taken over here, on the
    // control's own thread.
    m_search = std::async(std::launch::async, [this, identity = serverIdentity(), folder = here] {
        ProcessSearch found = serversInDirectory(identity, folder);
        // Posted before the control's members are destroyed (the future's
        // destructor waits for this), and dropped with the control.
        QMetaObject::invokeMethod(this, &PosixServerControl::searchFinished, Qt::QueuedConnection);
        return found;
    });
}

void PosixServerControl::searchFinished()
{
    if (!m_search.valid())
        return;
    ProcessSearch found = m_search.get();
    // Launched or stopping meanwhile: what the search found is no longer
    // the question.
    if (m_watched || !m_stopping.empty()) {
        emit searchAnswered({});
        return;
    }
    emit searchAnswered(answerWith(std::move(found)));
}

std::optional<qint64> PosixServerControl::adoptFirstOf(std::vector<HeldProcess> servers)
{
    // Those that ended since the search found them are left out.
    servers.erase(std::remove_if(servers.begin(), servers.end(),
                                 [](const HeldProcess &p) { return !isRunning(p.pidfd.get()); }),
                  servers.end());
    if (servers.empty())
        return std::nullopt;
    HeldProcess &server = servers.front();
    // Its last words are known only when it writes into this folder's log.
    // Read like the last settings: never through a link, never waiting on
    // what is not a regular file (a FIFO planted there).
    UniqueFd log(::open(QFile::encodeName(kServerLogFileName).constData(),
                        O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (log.valid() && (!isRegularFile(log.get()) || !writesInto(server.pid, log.get())))
        log.reset();
    const pid_t pid = server.pid;
    m_launchGroup = -1;
    watch(new ProcessWatch(pid, std::move(server.pidfd), false, this), std::move(log));
    return pid;
}

std::optional<ControlProblem> PosixServerControl::stopServers()
{
    // The server launched or adopted here is held by its pidfd: it is asked
    // to end even when the folder or the process list cannot be read, which
    // only the search for the folder's other servers needs.
    DirectoryId here;
    const std::optional<ControlProblem> folderUnknown = currentDirectory(&here);
    if (!m_watched && folderUnknown)
        return folderUnknown;
    ProcessSearch found;
    if (!folderUnknown)
        found = serversInDirectory(serverIdentity(), here);
    if (!m_watched && found.error != 0)
        return processListProblem(found.error);

    // What the servers started runs in their process groups and sessions,
    // named anything: the launched server's own session; those that servers
    // taken over lead (a wrapper run by a script's --start, say); and the
    // group of the launcher that handed the watched server over, while the
    // server is still in it.
    std::vector<HeldProcess> others = std::move(found.processes);
    std::vector<pid_t> leaders;
    if (m_watched && isRunning(m_watched->pidfd()))
        leaders.push_back(m_watched->pid());
    for (const HeldProcess &server : others)
        leaders.push_back(server.pid);
    if (m_watched && m_launchGroup > 0) {
        std::vector<HeldProcess> launch = processesLedBy({m_launchGroup}).processes;
        const pid_t watched = m_watched->pid();
        if (std::any_of(launch.begin(), launch.end(),
                        [watched](const HeldProcess &p) { return p.pid == watched; }))
            std::move(launch.begin(), launch.end(), std::back_inserter(others));
    }
    for (HeldProcess &member : processesLedBy(leaders).processes)
        others.push_back(std::move(member));

    std::vector<ProcessWatch *> asked;
    if (m_watched)
        asked.push_back(m_watched);
    const auto known = [&](pid_t pid) {
        const auto same = [pid](const ProcessWatch *w) {
            return w->pid() == pid;
        };
        return std::any_of(m_stopping.begin(), m_stopping.end(), same) ||
               std::any_of(asked.begin(), asked.end(), same);
    };
    for (HeldProcess &server : others) {
        if (!known(server.pid))
            asked.push_back(new ProcessWatch(server.pid, std::move(server.pidfd), false, this));
    }

    // The process that kills what outlives the grace period comes first:
    // should it fail to start, nothing has been asked to end.
    std::vector<ReapTarget> targets;
    for (const ProcessWatch *w : asked)
        targets.push_back({w->pid(), w->pidfd(), w->ownChild()});
    if (const int error = startReaper(targets, m_options.stopGracePeriod)) {
        for (ProcessWatch *w : asked) {
            if (w != m_watched)
                delete w;
        }
        return ControlProblem(ControlProblem::Kind::StopNotStarted, {}, {}, qt_error_string(error));
    }

    if (m_watched) {
        disconnect(m_watched, &ProcessWatch::ended, this, &PosixServerControl::watchedServerEnded);
        m_watched = nullptr;
        m_launchGroup = -1;
        m_log.reset();
    }
    for (ProcessWatch *w : asked) {
        w->sendSignal(SIGTERM, true);
        m_stopping.push_back(w);
        connect(w, &ProcessWatch::ended, this, [this, w] { stoppingServerEnded(w); });
    }
    if (m_stopping.empty())
        QMetaObject::invokeMethod(this, &ServerControl::serversStopped, Qt::QueuedConnection);
    return std::nullopt;
}

void PosixServerControl::stoppingServerEnded(ProcessWatch *watch)
{
    m_stopping.erase(std::remove(m_stopping.begin(), m_stopping.end(), watch), m_stopping.end());
    watch->deleteLater();
    if (m_stopping.empty())
        emit serversStopped();
}

std::optional<ControlProblem> PosixServerControl::openUrl(const QString &url)
{
    // xdg-open tells by its status whether a browser took the address; it is
    // watched like a server, so that the window neither waits for it nor
    // leaves it a zombie.
    const QString opener = QStringLiteral("xdg-open");
    pid_t pid = -1;
    if (spawnInSession(QFile::encodeName(opener), {QFile::encodeName(url)}, -1, -1, true, &pid) != 0)
        return ControlProblem(ControlProblem::Kind::OpenerNotStarted, url, opener);
    UniqueFd pidfd(openPidfd(pid));
    if (!pidfd.valid()) {
        // It runs all the same; only what its status would say is lost.
        ProcessWatch::reapWhenEnded(pid);
        return std::nullopt;
    }
    auto *watch = new ProcessWatch(pid, std::move(pidfd), true, this);
    connect(watch, &ProcessWatch::ended, this, [this, watch, url, opener](const ServerExit &exit) {
        watch->deleteLater();
        if (const std::optional<ControlProblem> problem = openerProblem(url, opener, exit))
            emit urlOpenFailed(*problem);
    });
    return std::nullopt;
}

std::optional<ControlProblem> openerProblem(const QString &url, const QString &opener, const ServerExit &exit)
{
    ControlProblem problem(ControlProblem::Kind::OpenerFailed, url, opener);
    problem.code = exit.code;
    switch (exit.kind) {
    case ServerExit::Kind::Exited:
        if (exit.code == 0)
            return std::nullopt;
        // xdg-open's own word for "no browser, or no tool to find one".
        if (exit.code == 3)
            problem.kind = ControlProblem::Kind::OpenerFoundNothing;
        return problem;
    case ServerExit::Kind::Signalled:
        problem.kind = ControlProblem::Kind::OpenerSignalled;
        problem.systemError = exit.signalName;
        return problem;
    case ServerExit::Kind::Unknown:
        break;
    }
    return std::nullopt;
}
