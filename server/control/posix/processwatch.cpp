#include "processwatch.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace {

ServerExit exitFromStatus(int code, int status)
{
    ServerExit exit;
    if (code == CLD_EXITED) {
        exit.kind = ServerExit::Kind::Exited;
        exit.code = status;
    } else if (code == CLD_KILLED || code == CLD_DUMPED) {
        exit.kind = ServerExit::Kind::Signalled;
        exit.code = status;
        exit.signalName = QString::fromLocal8Bit(::strsignal(status));
    }
    return exit;
}

// The process's start time in clock ticks since boot (field 22 of its stat
// line), which tells a recycled PID from the process first seen; 0 when it
// has ended.
unsigned long long startTime(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    // The name in brackets may hold blanks: count fields after the last ')'.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() <= 19 || fields[0] == "Z")
        return 0; // a zombie has ended, whether or not it was reaped
    return fields[19].toULongLong();
}

} // namespace

ProcessWatch::ProcessWatch(pid_t pid, UniqueFd pidfd, bool ownChild, QObject *parent)
    : QObject(parent), m_pid(pid), m_pidfd(std::move(pidfd)), m_ownChild(ownChild)
{
    if (m_pidfd.valid()) {
        m_notifier = new QSocketNotifier(m_pidfd.get(), QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &ProcessWatch::pidfdReadable);
    } else if (m_ownChild) {
        watchChildOnThread();
    } else {
        m_startTime = startTime(pid);
        m_poll = new QTimer(this);
        connect(m_poll, &QTimer::timeout, this, &ProcessWatch::pollOtherProcess);
        m_poll->start(200);
    }
}

ProcessWatch::~ProcessWatch()
{
    // An own child that outlives its watch (the window closed while it ran)
    // must still be reaped, or it stays a zombie for as long as this process
    // lives.
    if (m_ownChild && !m_ended && !m_statusSocket.valid()) {
        const pid_t pid = m_pid;
        std::thread([pid] {
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    }
}

void ProcessWatch::sendSignal(int signal, bool toGroup) const
{
    if (m_ended)
        return;
    if (toGroup && m_ownChild)
        ::kill(-m_pid, signal);
#ifdef SYS_pidfd_send_signal
    if (m_pidfd.valid()) {
        ::syscall(SYS_pidfd_send_signal, m_pidfd.get(), signal, nullptr, 0);
        return;
    }
#endif
    if (m_ownChild || startTime(m_pid) == m_startTime)
        ::kill(m_pid, signal);
}

void ProcessWatch::pidfdReadable()
{
    m_notifier->setEnabled(false);
    ServerExit exit;
    if (m_ownChild) {
        siginfo_t info{};
        int result;
        do {
            result = ::waitid(idtype_t(P_PIDFD), id_t(m_pidfd.get()), &info, WEXITED);
        } while (result < 0 && errno == EINTR);
        if (result == 0)
            exit = exitFromStatus(info.si_code, info.si_status);
    }
    finish(exit);
}

void ProcessWatch::finish(const ServerExit &exit)
{
    if (m_ended)
        return;
    m_ended = true;
    emit ended(exit);
}

void ProcessWatch::watchChildOnThread()
{
    // A thread blocks in waitpid and hands the status over a socket, which
    // the event loop watches. Should the watch go first, the thread's send
    // fails quietly (no SIGPIPE) and it ends.
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        // Nothing to watch with: still reap it one day, and say it ended when
        // it does, by looking.
        m_startTime = startTime(m_pid);
        m_poll = new QTimer(this);
        connect(m_poll, &QTimer::timeout, this, &ProcessWatch::pollOtherProcess);
        m_poll->start(200);
        return;
    }
    m_statusSocket.reset(sockets[0]);
    const pid_t pid = m_pid;
    const int writer = sockets[1];
    std::thread([pid, writer] {
        int status = 0;
        pid_t result;
        do {
            result = ::waitpid(pid, &status, 0);
        } while (result < 0 && errno == EINTR);
        const int message[2] = {result == pid ? 1 : 0, status};
        (void)::send(writer, message, sizeof message, MSG_NOSIGNAL);
        ::close(writer);
    }).detach();
    m_notifier = new QSocketNotifier(m_statusSocket.get(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        m_notifier->setEnabled(false);
        int message[2] = {0, 0};
        ServerExit exit;
        if (::recv(m_statusSocket.get(), message, sizeof message, MSG_WAITALL) == sizeof message &&
            message[0]) {
            const int status = message[1];
            if (WIFEXITED(status))
                exit = exitFromStatus(CLD_EXITED, WEXITSTATUS(status));
            else if (WIFSIGNALED(status))
                exit = exitFromStatus(CLD_KILLED, WTERMSIG(status));
        }
        m_statusSocket.reset();
        finish(exit);
    });
}

void ProcessWatch::pollOtherProcess()
{
    if (m_ownChild) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) != m_pid)
            return;
        m_poll->stop();
        finish(WIFEXITED(status)     ? exitFromStatus(CLD_EXITED, WEXITSTATUS(status))
               : WIFSIGNALED(status) ? exitFromStatus(CLD_KILLED, WTERMSIG(status))
                                     : ServerExit{});
        return;
    }
    if (startTime(m_pid) == m_startTime && m_startTime != 0)
        return;
    m_poll->stop();
    finish(ServerExit{});
}
