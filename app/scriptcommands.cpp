#include "scriptcommands.h"

#include "configfiles.h"
#include "lastsettings.h"
#include "localaddress.h"
#include "programarguments.h"
#include "servercontrol.h"
#include "workingfolder.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <cstdio>

namespace {

// The LSB's status for a service that is not running, which service tools
// and monitoring scripts read.
constexpr int kNotRunningStatus = 3;

const QString kNotRunningText = QStringLiteral("Orbelith Server is not running\n");

QString runningText(const QString &what, qint64 pid)
{
    return QStringLiteral("Orbelith Server %1 (PID %2)\n").arg(what).arg(pid);
}

QString errorLine(const QString &message)
{
    return QStringLiteral("%1: %2\n").arg(kProgramName, message);
}

ScriptOutcome status(ServerControl &control)
{
    // The lowest PID, as the window's adoption takes it.
    if (const std::optional<qint64> pid = control.adoptRunningServer())
        return {0, runningText(QStringLiteral("is running"), *pid), {}};
    return {kNotRunningStatus, kNotRunningText, {}};
}

ScriptOutcome stop(ServerControl &control)
{
    // Taken over first, as a window opened here would, so that Stop ends it
    // by its process whatever it does meanwhile.
    if (!control.adoptRunningServer())
        return {0, kNotRunningText, {}};
    QEventLoop loop;
    QObject::connect(&control, &ServerControl::serversStopped, &loop, &QEventLoop::quit);
    const Result stopping = control.stopServers();
    if (!stopping.ok())
        return {1, {}, errorLine(stopping.errorMessage())};
    // Until every one has ended, the grace period's kill included.
    loop.exec();
    return {0, QStringLiteral("Orbelith Server stopped\n"), {}};
}

ScriptOutcome start(ServerControl &control)
{
    if (const std::optional<qint64> pid = control.adoptRunningServer())
        return {0, runningText(QStringLiteral("is already running"), *pid), {}};

    // What the window holds after its start-up here, then its Start.
    ScriptOutcome outcome;
    ServerSettings starting;
    starting.ip = localIpAddress();
    const StartupSettings restored = restoreStartupSettings(kLastSettingsFileName, starting);
    if (!restored.notice.isEmpty())
        outcome.errors += errorLine(restored.notice);
    const Result written = writeSettingsFiles(workingFolder(), restored.settings);
    if (!written.ok()) {
        outcome.exitStatus = 1;
        outcome.errors += errorLine(written.errorMessage());
        return outcome;
    }
    const LaunchResult launched = control.launchServer();
    if (!launched.result.ok()) {
        outcome.exitStatus = 1;
        outcome.errors += errorLine(launched.result.errorMessage());
        return outcome;
    }
    outcome.output = runningText(QStringLiteral("started...."), launched.pid);
    if (!launched.noLogReason.isEmpty())
        outcome.errors += errorLine(
            QStringLiteral("the server's output is not kept (no log: %1)").arg(launched.noLogReason));
    else if (!launched.logNotRotated.isEmpty())
        outcome.errors += errorLine(QStringLiteral("log not rotated: %1").arg(launched.logNotRotated));
    return outcome;
}

} // namespace

ScriptOutcome runScriptCommand(CommandLine::Script script, ServerControl &control)
{
    switch (script) {
    case CommandLine::Script::Status:
        return status(control);
    case CommandLine::Script::Stop:
        return stop(control);
    case CommandLine::Script::Start:
        return start(control);
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
    const ScriptOutcome outcome = runScriptCommand(script, *createPlatformServerControl());
    if (!outcome.output.isEmpty())
        printText(stdout, outcome.output);
    if (!outcome.errors.isEmpty())
        printText(stderr, outcome.errors);
    return outcome.exitStatus;
}
