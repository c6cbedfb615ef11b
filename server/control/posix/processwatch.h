#pragma once

#include "servercontrol.h"
#include "uniquefd.h"

#include <QObject>

#include <sys/types.h>

class QSocketNotifier;

// Watches one process, held by its pidfd, until it ends: the event loop is
// woken once, when it ends; no thread, no timer, no polling. The status of
// the front-end's own child is collected (and the child reaped) with
// waitid(P_PIDFD); another process's status cannot be known.
class ProcessWatch final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProcessWatch)

public:
    ProcessWatch(pid_t pid, UniqueFd pidfd, bool ownChild, QObject *parent = nullptr);
    ~ProcessWatch() override;

    pid_t pid() const { return m_pid; }
    bool ownChild() const { return m_ownChild; }
    bool hasEnded() const { return m_ended; }

    // Sends a signal to the process by its pidfd; an own child's process
    // group too while the child is not reaped, because until then its group
    // ID cannot belong to anyone else.
    void sendSignal(int signal, bool toGroup) const;
    int pidfd() const { return m_pidfd.get(); }

    // Reaps an own child that nothing watches once it ends, on a thread of
    // its own, so that it does not stay a zombie for as long as this process
    // lives.
    static void reapWhenEnded(pid_t child);

signals:
    // Once. kind and code only: the caller adds the log's last line.
    void ended(const ServerExit &exit);

private:
    void pidfdReadable();

    pid_t m_pid;
    UniqueFd m_pidfd;
    bool m_ownChild;
    bool m_ended = false;
    QSocketNotifier *m_notifier = nullptr;
};
