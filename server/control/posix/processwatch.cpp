#include "processwatch.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
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

} // namespace

ProcessWatch::ProcessWatch(pid_t pid, UniqueFd pidfd, bool ownChild, QObject *parent)
    : QObject(parent), m_pid(pid), m_pidfd(std::move(pidfd)), m_ownChild(ownChild),
      m_notifier(new QSocketNotifier(m_pidfd.get(), QSocketNotifier::Read, this))
{
    connect(m_notifier, &QSocketNotifier::activated, this, &ProcessWatch::pidfdReadable);
}

ProcessWatch::~ProcessWatch()
{
    // An own child that outlives its watch (the window closed while it ran).
    if (m_ownChild && !m_ended)
        reapWhenEnded(m_pid);
}

void ProcessWatch::reapWhenEnded(pid_t child)
{
    std::thread([child] {
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

void ProcessWatch::sendSignal(int signal, bool toGroup) const
{
    if (m_ended)
        return;
    if (toGroup && m_ownChild)
        ::kill(-m_pid, signal);
    ::syscall(SYS_pidfd_send_signal, m_pidfd.get(), signal, nullptr, 0);
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
    m_ended = true;
    emit ended(exit);
}
