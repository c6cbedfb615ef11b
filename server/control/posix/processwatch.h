#pragma once

#include "servercontrol.h"
#include "uniquefd.h"

#include <QObject>

#include <sys/types.h>

#include <memory>

class QSocketNotifier;
class QTimer;

// Watches one process until it ends. With a pidfd the event loop is woken
// once, when the process ends: no thread, no timer, no polling. The status
// of the front-end's own child is collected (and the child reaped) with
// waitid(P_PIDFD); another process's status cannot be known.
//
// Without a pidfd: a thread waits for an own child and reports through a
// socket; any other process is looked at five times a second.
class ProcessWatch final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProcessWatch)

public:
    // pidfd may be invalid; then the fallback watches the PID.
    ProcessWatch(pid_t pid, UniqueFd pidfd, bool ownChild, QObject *parent = nullptr);
    ~ProcessWatch() override;

    pid_t pid() const { return m_pid; }
    bool ownChild() const { return m_ownChild; }
    bool hasEnded() const { return m_ended; }

    // Sends a signal to the process, by its pidfd where there is one; an own
    // child's process group too while the child is not reaped, because until
    // then its group ID cannot belong to anyone else.
    void sendSignal(int signal, bool toGroup) const;
    // The pidfd, or -1.
    int pidfd() const { return m_pidfd.get(); }

signals:
    // Once. kind and code only: the caller adds the log's last line.
    void ended(const ServerExit &exit);

private:
    void pidfdReadable();
    void finish(const ServerExit &exit);
    void watchChildOnThread();
    void pollOtherProcess();

    pid_t m_pid;
    UniqueFd m_pidfd;
    bool m_ownChild;
    bool m_ended = false;
    QSocketNotifier *m_notifier = nullptr;
    // Fallbacks.
    UniqueFd m_statusSocket;
    QTimer *m_poll = nullptr;
    unsigned long long m_startTime = 0;
};
