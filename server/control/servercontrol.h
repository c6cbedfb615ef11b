#pragma once

#include "controlproblemkind.h"

#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <utility>

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

// What went wrong in a backend: a kind and its details (which of them each
// kind fills, controlproblemkind.h says). messages.h makes the sentence.
struct ControlProblem
{
    using Kind = ControlProblemKind;
    ControlProblem() = default;
    explicit ControlProblem(Kind kind, QString subject = {}, QString detail = {}, QString systemError = {})
        : kind(kind), subject(std::move(subject)), detail(std::move(detail)),
          systemError(std::move(systemError))
    {}

    Kind kind = Kind::LaunchFailed;
    QString subject;
    QString detail;
    // The system's own words for the error.
    QString systemError;
    QStringList folders;
    int code = 0;
};
Q_DECLARE_METATYPE(ControlProblem)

// What became of the server's log at a launch.
struct LogNote
{
    using Kind = LogNoteKind;
    Kind kind = Kind::None;
    QString systemError;
    // Where this run's output is, when it is not in the log.
    QString file;
};

// What a launch did.
struct LaunchResult
{
    static LaunchResult failed(ControlProblem problem) { return {std::move(problem), 0, {}}; }

    // Set when nothing was started.
    std::optional<ControlProblem> problem;
    // The started process.
    qint64 pid = 0;
    LogNote log;
};

// The answer to "is a server of mine running here?".
struct SearchAnswer
{
    enum class Outcome
    {
        NotRunning,
        Running, // pid is the server, now watched
        Unknown, // the program cannot tell: problem says why
    };
    Outcome outcome = Outcome::NotRunning;
    qint64 pid = 0;
    std::optional<ControlProblem> problem;
};
Q_DECLARE_METATYPE(SearchAnswer)

// What the front-end asks of the operating system about the server, in the
// current directory. No call waits for a server to end; what happens later is
// told by the signals, on the thread that created the control, from its event
// loop. The session (serversession.h) decides when to call what.
//
// The control watches at most one server at a time: the one it launched, the
// one it found running, or the one that a launched server handed over to when
// it put itself in the background.
class ServerControl : public QObject
{
    Q_OBJECT

public:
    explicit ServerControl(QObject *parent = nullptr) : QObject(parent) {}
    ~ServerControl() override = default;

    // Starts the server program by its bare name, without arguments, hidden,
    // with its output going to the log file (the previous run's is kept), and
    // watches it.
    virtual LaunchResult launchServer() = 0;

    // Looks for servers of this user running here; watches the first (the
    // lowest PID of several) and answers with it.
    virtual SearchAnswer findRunningServer() = 0;
    // The same without making the caller wait: exactly one searchAnswered()
    // follows. A backend whose search is slow does it on a thread.
    virtual void startSearch();

    // Asks the watched server and every other server of this user running
    // here to end, and kills those still running after a grace period.
    // Returns at once; serversStopped() follows once all of them have ended
    // (at once when there were none). A problem means that nothing was asked
    // to end, unless its kind says otherwise. The killing goes on when the
    // front-end exits meanwhile.
    virtual std::optional<ControlProblem> stopServers() = 0;

    // Opens the address in the desktop's web browser. What the opener can
    // tell only once it has run comes later, as urlOpenFailed().
    virtual std::optional<ControlProblem> openUrl(const QString &url) = 0;

signals:
    // The watched server ended without stopServers() asking for it.
    void serverEnded(const ServerExit &exit);
    // Every server that the last stopServers() asked to end has ended.
    void serversStopped();
    // The answer to startSearch().
    void searchAnswered(const SearchAnswer &answer);
    // The opener that openUrl() started could not open the address.
    void urlOpenFailed(const ControlProblem &problem);
};

// The server program's file name on this platform.
QString serverProgramName();

std::unique_ptr<ServerControl> createPlatformServerControl();
