#pragma once

#include "processscan.h"
#include "servercontrol.h"
#include "uniquefd.h"

#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <chrono>
#include <future>
#include <optional>
#include <vector>

class ProcessWatch;

// Server control on Linux: posix_spawn into a session of its own with an
// input that never ends and the output in the log, pidfds to watch and to
// signal, /proc to find the folder's servers, and a detached reaper for the
// kill after the grace period.
class PosixServerControl final : public ServerControl
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PosixServerControl)

public:
    static constexpr std::chrono::milliseconds kDefaultStopGracePeriod{3000};

    struct Options
    {
        // Looked in first for the server program: the front-end's own folder.
        QString programDir;
        // How long a server may take to end on SIGTERM before it is killed.
        std::chrono::milliseconds stopGracePeriod = kDefaultStopGracePeriod;
    };

    // The program's own: the server looked for beside the program first, and
    // every other option at its default.
    PosixServerControl();
    explicit PosixServerControl(Options options);
    ~PosixServerControl() override;

    static QString programName() { return QStringLiteral("orbelithsrv"); }

    LaunchResult launchServer() override;
    SearchAnswer findRunningServer() override;
    // Reads /proc on a thread.
    void startSearch() override;
    std::optional<ControlProblem> stopServers() override;
    // Starts xdg-open with the address; what its status says comes later,
    // as urlOpenFailed().
    std::optional<ControlProblem> openUrl(const QString &url) override;

    // Where the server program is looked for, in order: the program folder,
    // the current directory, then PATH.
    QStringList searchDirectories() const;
    // The first executable file of the server's name there. The launch
    // refuses it when it, or a link on the way to it, belongs neither to
    // this user nor to root and lies in a folder others may write to.
    std::optional<QString> findServerProgram() const;
    // How the folder's servers are told from other processes: by the
    // server's name, and by the program the launch would start here.
    ServerIdentity serverIdentity() const;

    const Options &options() const { return m_options; }
    // The PID of the server being watched, if any.
    std::optional<qint64> watchedServer() const;

private:
    void watch(ProcessWatch *watch, UniqueFd log);
    void watchedServerEnded(const ServerExit &exit);
    void stoppingServerEnded(ProcessWatch *watch);
    void searchFinished();
    SearchAnswer answerWith(ProcessSearch found);
    // What a launcher that ended with 0 left running as the server.
    std::optional<HeldProcess> backgroundedServer(pid_t launcher);
    // Watches the lowest PID of those still running, and returns it.
    std::optional<qint64> adoptFirstOf(std::vector<HeldProcess> servers);
    QString lastLineOfLog() const;

    Options m_options;
    ProcessWatch *m_watched = nullptr;
    // The process group of the launcher that handed the watched server over.
    pid_t m_launchGroup = -1;
    // The watched server's log, open for reading its last line at the end.
    UniqueFd m_log;
    // What the last Stop asked to end and has not yet ended.
    std::vector<ProcessWatch *> m_stopping;
    // The search that startSearch() started.
    std::future<ProcessSearch> m_search;
};

// What went wrong with an opener that ended as exit says: nothing when it
// opened the address.
std::optional<ControlProblem> openerProblem(const QString &url, const QString &opener,
                                            const ServerExit &exit);
