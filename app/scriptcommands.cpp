#include "scriptcommands.h"

#include "configfiles.h"
#include "lastsettings.h"
#include "localaddress.h"
#include "messages.h"
#include "programarguments.h"
#include "servercontrol.h"
#include "serversession.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <cstdio>

namespace {

// The LSB's status codes, which service tools and monitoring scripts read.
constexpr int kNotRunningStatus = 3;
constexpr int kUnknownStatus = 4;

ScriptOutcome status(ServerSession &session)
{
    // The lowest PID, as the window takes it over.
    const SearchAnswer answer = session.findRunningServer();
    switch (answer.outcome) {
    case SearchAnswer::Outcome::Running:
        return {0, Messages::Script::running(answer.pid), {}};
    case SearchAnswer::Outcome::NotRunning:
        break;
    case SearchAnswer::Outcome::Unknown:
        return {kUnknownStatus,
                {},
                Messages::Script::error(
                    Messages::problem(answer.problem.value_or(ControlProblem()), Messages::Request::Search))};
    }
    return {kNotRunningStatus, Messages::Script::notRunning(), {}};
}

ScriptOutcome stop(ServerSession &session)
{
    QEventLoop loop;
    QObject::connect(&session, &ServerSession::stateChanged, &loop, [&loop](ServerSession::State state) {
        if (state == ServerSession::State::Stopped)
            loop.quit();
    });
    const ServerSession::StopOutcome stopping = session.stop();
    switch (stopping.kind) {
    case ServerSession::StopOutcome::Kind::NotRunning:
        return {0, Messages::Script::notRunning(), {}};
    case ServerSession::StopOutcome::Kind::Refused:
        return {1, {}, Messages::Script::error(stopping.message)};
    case ServerSession::StopOutcome::Kind::Stopping:
        break;
    }
    // Until every one has ended, the grace period's kill included.
    loop.exec();
    return {0, Messages::Script::stopped(), {}};
}

ScriptOutcome start(ServerSession &session)
{
    // What the window holds after its start-up here, then its Start.
    ScriptOutcome outcome;
    ServerSettings starting;
    starting.ip = localIpAddress();
    const StartupSettings restored = restoreStartupSettings(kLastSettingsFileName, starting);
    if (!restored.notice.isEmpty())
        outcome.errors += Messages::Script::error(restored.notice);
    const ServerSession::StartOutcome started = session.start(restored.settings);
    switch (started.kind) {
    case ServerSession::StartOutcome::Kind::AlreadyRunning:
        outcome.output = Messages::Script::alreadyRunning(started.pid);
        break;
    case ServerSession::StartOutcome::Kind::Refused:
        outcome.exitStatus = 1;
        outcome.errors += Messages::Script::error(started.message);
        break;
    case ServerSession::StartOutcome::Kind::Started:
        outcome.output = Messages::Script::started(started.pid);
        outcome.errors += Messages::Script::logNote(started.log);
        break;
    }
    return outcome;
}

} // namespace

ScriptOutcome runScriptCommand(CommandLine::Script script, std::unique_ptr<ServerControl> control)
{
    ServerSession session(std::move(control), ServerSession::kScriptPatience);
    switch (script) {
    case CommandLine::Script::Status:
        return status(session);
    case CommandLine::Script::Stop:
        return stop(session);
    case CommandLine::Script::Start:
        return start(session);
    case CommandLine::Script::None:
        break;
    }
    return {};
}

int runScriptCommand(CommandLine::Script script, int &argc, char *argv[])
{
    // No window and no display: the control needs only an event loop and
    // the program's folder, where the server is looked for first.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(kProgramName);
    const ScriptOutcome outcome = runScriptCommand(script, createPlatformServerControl());
    if (!outcome.output.isEmpty())
        printText(stdout, outcome.output);
    if (!outcome.errors.isEmpty())
        printText(stderr, outcome.errors);
    return outcome.exitStatus;
}
