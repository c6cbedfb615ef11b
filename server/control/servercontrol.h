#pragma once

#include "result.h"

#include <QMetaType>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

// How a watched server ended, as far as the front-end can tell.
struct ServerExit
{
    enum class Kind
    {
        Exited,    // it returned or called exit(): code holds its exit code
        Signalled, // a signal ended it: code holds the signal number
        Unknown,   // its status cannot be known (it is not the front-end's child)
    };
    Kind kind = Kind::Unknown;
    int code = 0;
    // The signal's name for Signalled ("Killed"), in the platform's words.
    QString signalName;
    // The last non-empty line of the server's output, made printable
    // (lastLogLine); empty when it wrote none or its output was not kept.
    QString lastLine;
};
Q_DECLARE_METATYPE(ServerExit)

// What a launch did.
struct LaunchResult
{
    Result result = Result::success();
    // Why the server's output is not kept, when the log could not be opened
    // ("Is a directory"); empty when it goes to the log. The server starts
    // all the same.
    QString noLogReason;
    // The started process, when it started.
    qint64 pid = 0;
    // Why the previous run's log was not kept as orbelithsrv.log.1, this
    // run's output being added to the same log; empty when it was kept.
    QString logNotRotated{};
};

// What the front-end asks of the operating system about the server. No call
// waits for a server to end; what happens later is told by the signals, on
// the thread that created the control, from its event loop.
//
// The control watches at most one server at a time: the one it launched, the
// one it adopted, or the one that a launched server handed over to when it put
// itself in the background.
class ServerControl : public QObject
{
    Q_OBJECT

public:
    explicit ServerControl(QObject *parent = nullptr) : QObject(parent) {}
    ~ServerControl() override = default;

    // Starts the server program by its bare name, without arguments, hidden,
    // in the current directory, with its output going to the log file there
    // (orbelithsrv.log; the previous run's is kept as orbelithsrv.log.1), and
    // watches it.
    virtual LaunchResult launchServer() = 0;

    // Looks for servers of this user already running with the current
    // directory as their working directory. When there is one, watches it
    // (the lowest PID of several) and returns its PID.
    virtual std::optional<qint64> adoptRunningServer() = 0;

    // Called just before adoptRunningServer() when the window must not wait
    // for it: a backend whose search is slow may start it here, on a thread.
    // When the search has not finished by the time adoptRunningServer() is
    // called, that returns nothing, and serverAdopted() follows if the search
    // finds a server.
    virtual void prepareAdoption() {}
    // The search that prepareAdoption() started has not answered yet.
    virtual bool adoptionPending() const { return false; }

    // Asks the watched server and every other server of this user running in
    // the current directory to end, and kills those still running after a
    // grace period. Returns at once; serversStopped() follows once all of
    // them have ended (at once when there were none). A failure means that
    // nothing was asked to end. The killing goes on when the front-end exits
    // meanwhile.
    virtual Result stopServers() = 0;

    // Opens the address in the desktop's web browser. What the opener can
    // tell only once it has run comes later, as urlOpenFailed().
    virtual Result openUrl(const QString &url) = 0;

signals:
    // The watched server ended without stopServers() asking for it.
    void serverEnded(const ServerExit &exit);
    // Every server that the last stopServers() asked to end has ended.
    void serversStopped();
    // A server that the search prepareAdoption() started found, now watched.
    void serverAdopted(qint64 pid);
    // The search that prepareAdoption() started and adoptRunningServer()
    // did not wait for has answered (after serverAdopted() when it found
    // one).
    void adoptionAnswered();
    // The opener that openUrl() started could not open the address: the
    // status line's words for why.
    void urlOpenFailed(const QString &message);
};

// The server program's file name on this platform.
QString serverProgramName();

std::unique_ptr<ServerControl> createPlatformServerControl();

// The status line's words for a server that ended by itself.
QString serverExitText(const ServerExit &exit);
