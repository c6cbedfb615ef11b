#pragma once

#include "servercontrol.h"
#include "settings.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

// What a Start, a Stop, an Exit and a search for a running server do in the
// current folder, in which order, and what they say: the one sequence that
// the window and the script commands both drive. It keeps the state that the
// window shows and hands the work to the platform's control.
class ServerSession final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ServerSession)

public:
    enum class State
    {
        Stopped,
        Searching, // asked whether a server of this user runs here
        Running,   // a server is watched
        Stopping,  // Stop asked the servers to end; not all of them have
        Exiting,   // the program is ending
    };
    Q_ENUM(State)

    // How long a Start or a Stop waits for one in another process to finish
    // with the folder: a window waits no longer than a Start takes, a script
    // as long as a cron job might.
    static constexpr std::chrono::milliseconds kWindowPatience{2000};
    static constexpr std::chrono::milliseconds kScriptPatience{30000};

    explicit ServerSession(std::unique_ptr<ServerControl> control,
                           std::chrono::milliseconds patience = kWindowPatience, QObject *parent = nullptr);
    ~ServerSession() override;

    State state() const { return m_state; }
    // The status line's text since the last change; empty at first.
    const QString &status() const { return m_status; }
    // The watched server's process, while Running.
    qint64 serverPid() const { return m_pid; }
    // This session's Start launched the server it watches: only then does
    // Exit end it.
    bool launchedHere() const { return ServerRunning; }

    // Asks whether a server of this user already runs here, without waiting:
    // Searching until the answer, then Running, watching it, or Stopped. Only
    // while Stopped. searchNow() answers before it returns.
    void search();
    void searchNow();

    // Start: unless a server of this user already runs here, which is then
    // watched, writes both files and launches the server.
    struct StartOutcome
    {
        enum class Kind
        {
            Started,
            AlreadyRunning,
            Refused, // nothing launched: message says why
        };
        Kind kind = Kind::Refused;
        qint64 pid = 0;
        LogNote log;
        QString message;
    };
    StartOutcome start(const ServerSettings &settings);

    // Stop: asks the watched server (or, when there is none, the one found
    // running here) and every other server of this user here to end.
    // Stopping until all have ended, then Stopped.
    struct StopOutcome
    {
        enum class Kind
        {
            Stopping,
            NotRunning,
            Refused, // nothing asked to end: message says why
        };
        Kind kind = Kind::Refused;
        QString message;
    };
    StopOutcome stop();

    // The program ends: a server that this session's Start launched is ended
    // as Stop ends it, without waiting; one it found running keeps running.
    void exit();

    // For scripts: whether a server of this user runs here, now.
    SearchAnswer findRunningServer();

    // Opens the server's page; a failure comes as a status.
    void openServerPage(const QString &url);

signals:
    void stateChanged(ServerSession::State state);
    // Every new text for the status line.
    void statusChanged(const QString &text);
    // The watched server ended without Stop or Exit asking for it.
    void serverEndedByItself(const QString &text);

private:
    void setState(State state);
    void setStatus(const QString &text);
    void searchAnswered(const SearchAnswer &answer);
    void serverEnded(const ServerExit &exit);
    void serversStopped();

    std::unique_ptr<ServerControl> m_control;
    std::chrono::milliseconds m_patience;
    State m_state = State::Stopped;
    QString m_status;
    qint64 m_pid = 0;
    // Set by this session's Start, cleared when its server is gone: what
    // Exit reads.
    bool ServerRunning = false;
};
