#pragma once

#include "servercontrol.h"
#include "win32control.h"

#include <QString>

#include <chrono>
#include <optional>
#include <vector>

class QWinEventNotifier;

// Server control on Windows: a thin Qt layer over the Win32 calls of
// win32control.h. The watched server's process handle sits on a
// QWinEventNotifier; Stop's end is an event on another.
class WindowsServerControl final : public ServerControl
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WindowsServerControl)

public:
    static constexpr std::chrono::milliseconds kDefaultStopGracePeriod{3000};

    struct Options
    {
        // Looked in first for the server program: the front-end's own folder.
        QString programDir;
        // How long a server may take to end when asked before it is ended.
        std::chrono::milliseconds stopGracePeriod = kDefaultStopGracePeriod;
    };

    WindowsServerControl();
    explicit WindowsServerControl(Options options);
    ~WindowsServerControl() override;

    static QString programName() { return QStringLiteral("orbelithsrv.exe"); }

    LaunchResult launchServer() override;
    SearchAnswer findRunningServer() override;
    std::optional<ControlProblem> stopServers() override;
    std::optional<ControlProblem> openUrl(const QString &url) override;

private:
    void watch(win32::UniqueHandle process, win32::UniqueHandle log, bool ownGroup);
    void unwatch();
    void watchedServerEnded();
    QString lastLineOfLog() const;

    Options m_options;
    win32::UniqueHandle m_process;
    win32::UniqueHandle m_log;
    // Launched here, so in a console process group of its own.
    bool m_ownGroup = false;
    QWinEventNotifier *m_watcher = nullptr;
    // One per Stop not yet over, each on its finished event.
    struct PendingStop
    {
        win32::UniqueHandle finished;
        QWinEventNotifier *notifier = nullptr;
    };
    std::vector<PendingStop> m_stopping;
};
