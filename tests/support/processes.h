#pragma once

// Helpers for tests that start real server processes.

#include "posixservercontrol.h"
#include "processscan.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <set>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace testprocesses {

inline QString procLink(pid_t pid, const char *what)
{
    return QFile::symLinkTarget(QStringLiteral("/proc/%1/%2").arg(pid).arg(QString::fromLatin1(what)));
}

// The processes this user started (its real user), in any folder, whose
// executable's file name is imageName.
inline std::set<pid_t> processesByImageName(const QString &imageName)
{
    const QByteArray realUser = "\nUid:\t" + QByteArray::number(::getuid()) + '\t';
    std::set<pid_t> found;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const pid_t pid = entry.toInt();
        QFile status(QStringLiteral("/proc/%1/status").arg(entry));
        if (pid > 0 && pid != ::getpid() && QFileInfo(procLink(pid, "exe")).fileName() == imageName &&
            status.open(QIODevice::ReadOnly) && status.readAll().contains(realUser))
            found.insert(pid);
    }
    return found;
}

inline std::set<pid_t> serverPids()
{
    return processesByImageName(PosixServerControl::programName());
}

// The servers running in this directory: the ones a test started there, and
// not those that anything else on the machine runs meanwhile.
inline std::set<pid_t> serversIn(const QString &directory)
{
    const QString wanted = QDir(directory).canonicalPath();
    std::set<pid_t> found;
    for (const pid_t pid : serverPids()) {
        if (procLink(pid, "cwd") == wanted)
            found.insert(pid);
    }
    return found;
}

inline bool waitForServersGone(const QString &directory, int timeoutMs = 10000)
{
    return QTest::qWaitFor([&directory] { return serversIn(directory).empty(); }, timeoutMs);
}

// Ends, by PID, what a test left running in its directory.
inline void killServersIn(const QString &directory)
{
    for (const pid_t pid : serversIn(directory))
        ::kill(pid, SIGKILL);
}

// The threads of this process: one that the code under test starts has
// ended, its work done, once the count is back.
inline int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// Children of this process that ended without being waited for.
inline QStringList zombieChildren()
{
    QStringList zombies;
    const QString self = QString::number(::getpid());
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (comm) state ppid ...": comm may hold blanks, so start after ')'.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[0] == "Z" && fields[1] == self.toLatin1())
            zombies.append(entry);
    }
    return zombies;
}

inline quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0))
        return 0;
    return probe.serverPort();
}

inline bool writeExecutable(const QString &path, const QByteArray &content)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
        return false;
    f.close();
    return f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// An opener that records its arguments, one per line, in <itself>.log.
inline bool writeRecordingOpener(const QString &dir)
{
    return writeExecutable(dir + QStringLiteral("/xdg-open"),
                           "#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"$0.log\"\n");
}

// Starts a program as the test's own child in a directory, with its output in
// a file (or nowhere). -1 when it could not be started.
inline pid_t startIn(const QString &directory, const QStringList &arguments,
                     const QString &output = QStringLiteral("/dev/null"))
{
    std::vector<QByteArray> bytes;
    for (const QString &a : arguments)
        bytes.push_back(QFile::encodeName(a));
    std::vector<char *> argv;
    for (QByteArray &b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    const QByteArray dir = QFile::encodeName(directory);
    const QByteArray out = QFile::encodeName(output);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addchdir_np(&actions, dir.constData());
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 1, out.constData(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

// Whether a signal is in a set of a process's /proc status ("SigCgt": it
// catches it; "ShdPnd": it is pending, sent while blocked).
inline bool signalIn(pid_t pid, const QByteArray &set, int signal)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(set + ':'))
            return ((line.mid(set.size() + 1).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) & 1) != 0;
    }
    return false;
}

// Whether a process catches signal rather than dying of it: the shipped
// program takes the termination signals over once its window is loaded.
inline bool catchesSignal(pid_t pid, int signal)
{
    return signalIn(pid, "SigCgt", signal);
}

// Until the guard ends, the whole process acts as user uid (and group uid):
// files it makes are that user's, permissions bind it, and the processes it
// launches are wholly that user's. Root stays the saved user, to come back
// to. first: whether the switch was made.
inline auto actAsUser(uid_t uid)
{
    std::vector<gid_t> groups(size_t(std::max(::getgroups(0, nullptr), 0)));
    groups.resize(size_t(std::max(::getgroups(int(groups.size()), groups.data()), 0)));
    const bool ok =
        ::setgroups(0, nullptr) == 0 && ::setresgid(uid, uid, 0) == 0 && ::setresuid(uid, uid, 0) == 0;
    return std::make_pair(ok, qScopeGuard([groups] {
                              if (::setresuid(0, 0, 0) != 0 || ::setresgid(0, 0, 0) != 0 ||
                                  ::setgroups(groups.size(), groups.data()) != 0)
                                  qFatal("could not become root again");
                          }));
}

// The file name of a process's executable, once it has one.
inline QString imageOf(pid_t pid)
{
    return QFileInfo(procLink(pid, "exe")).fileName();
}

// Ends and reaps a child the test started, by its PID.
inline void endChild(pid_t pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

} // namespace testprocesses
