// The program under measurement, started by orbelith-bench in a directory of
// its own:
//   orbelith-bench-probe startup
//       the program's start-up; reports when the window is first painted
//   orbelith-bench-probe start <program folder> <floor folder> <runs>
//       clicks Start on a freshly started window, then runs the floor of it
//   orbelith-bench-probe restore <runs>
//       restores the last settings from the file in the current directory

#include "configfiles.h"
#include "firstpaint.h"
#include "form1.h"
#include "posixservercontrol.h"
#include "startfloor.h"
#include "startup.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int fail(const char *what)
{
    std::fprintf(stderr, "orbelith-bench-probe: %s\n", what);
    return 1;
}

// A control that looks for the server program only where the benchmark put
// its trivial one, never beside this program, where the stand-in lives.
std::unique_ptr<ServerControl> privateControl(const QString &programDir)
{
    return std::make_unique<PosixServerControl>(PosixServerControl::Options{programDir});
}

// The window fully started, shown and painted, as an operator finds it.
std::unique_ptr<Form1> startAndPaint(QApplication &app, const QString &programDir)
{
    bench::FirstPaint firstPaint(nullptr);
    std::unique_ptr<Form1> window = startMainWindow(app, privateControl(programDir));
    QElapsedTimer waited;
    waited.start();
    while (!firstPaint.painted() && waited.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (!firstPaint.painted())
        window.reset();
    return window;
}

// The front-end starts its server detached, so that the server may be
// reparented rather than stay its child; as a subreaper this process then gets
// it back and reaps it. False when a child of ours still runs after five
// seconds; true once none is left, whoever reaped it.
bool reapStartedServer()
{
    for (int i = 0; i < 5000; ++i) {
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, WNOHANG);
        if (pid < 0 && errno == ECHILD)
            return true;
        if (pid == 0)
            ::usleep(1000);
    }
    return false;
}

int runStartup(QApplication &app)
{
    bench::FirstPaint *firstPaint = nullptr;
    bench::FirstPaint reporter([&firstPaint] { bench::reportPaintedAndQuit(firstPaint->paintedNs()); });
    firstPaint = &reporter;
    const std::unique_ptr<Form1> window = startMainWindow(app);
    return app.exec();
}

int runStart(QApplication &app, const QString &programDir, const QString &floorDir, int runs)
{
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        return fail("cannot become a subreaper, so the started servers could not be reaped");
    const std::string program = QDir(programDir).filePath(QStringLiteral("orbelithsrv")).toStdString();
    const std::string floorDirectory = floorDir.toStdString();

    // One unmeasured round first: caches warm, and both folders hold the
    // files that the measured rounds replace.
    for (int round = -1; round < runs; ++round) {
        const std::unique_ptr<Form1> window = startAndPaint(app, programDir);
        if (!window)
            return fail("the window was never painted");
        auto *start = window->findChild<QPushButton *>(QStringLiteral("Command1"));
        auto *status = window->findChild<QLabel *>(QStringLiteral("Label4"));
        if (!start || !status)
            return fail("the window has no Start button or status line");

        long long appNs = 0, floorNs = 0, floorFilesNs = 0;
        const auto measureApp = [&] {
            const long long t0 = bench::monotonicNs();
            start->click();
            appNs = bench::monotonicNs() - t0;
            if (!window->isServerRunning())
                return fail(qPrintable(QStringLiteral("Start failed: ") + status->text()));
            if (!reapStartedServer())
                return fail("the started server did not end");
            return 0;
        };
        const auto measureFloor = [&] {
            const std::string config = bench::readWholeFile("orbelithsrv.conf");
            const std::string lastSettings = bench::readWholeFile("orbelithsrv.ini");
            if (config.empty() || lastSettings.empty())
                return fail("Start left no files to copy for the floor");
            pid_t pid = -1;
            floorNs = bench::startFloor(floorDirectory, config, lastSettings, program, &pid, &floorFilesNs);
            if (floorNs < 0)
                return fail(std::strerror(errno));
            int wstatus = 0;
            ::waitpid(pid, &wstatus, 0);
            return 0;
        };
        // Alternate which goes first, so that neither always finds the
        // caches the other left.
        const bool appFirst = round < 0 || round % 2 == 0;
        if (int rc = appFirst ? measureApp() : measureFloor())
            return rc;
        if (int rc = appFirst ? measureFloor() : measureApp())
            return rc;
        if (round < 0)
            continue;
        std::printf("start %lld %lld\n", appNs, floorNs);

        // Where the time goes: the files, then the launch, each on its own.
        const ServerSettings settings = window->settingsFromControls();
        const long long t0 = bench::monotonicNs();
        if (!writeSettingsFiles(QDir::currentPath(), settings).ok())
            return fail("writing the files failed");
        const long long t1 = bench::monotonicNs();
        PosixServerControl control(PosixServerControl::Options{programDir});
        if (!control.launchServer().result.ok())
            return fail("launching failed");
        const long long t2 = bench::monotonicNs();
        if (!reapStartedServer())
            return fail("the started server did not end");
        std::printf("parts %lld %lld %lld %lld\n", t1 - t0, t2 - t1, floorFilesNs, floorNs - floorFilesNs);
    }
    std::fflush(stdout);
    return 0;
}

int runRestore(QApplication &app, int runs)
{
    const std::unique_ptr<Form1> window = startAndPaint(app, QStringLiteral("/nonexistent"));
    if (!window)
        return fail("the window was never painted");
    const QString path = QDir::current().filePath(QStringLiteral("orbelithsrv.ini"));
    std::printf("restored %s\n", qUtf8Printable(window->settingsFromControls().serverName));
    for (int round = 0; round < runs; ++round) {
        // From the window's defaults each time, as at start-up.
        window->applySettings(ServerSettings{});
        QCoreApplication::processEvents();
        // As Form_Load does it, after the address.
        const long long t0 = bench::monotonicNs();
        if (QFile::exists(path))
            window->RestoreLastSettings();
        const long long restoreNs = bench::monotonicNs() - t0;

        // The floor: only reading the file.
        const long long t1 = bench::monotonicNs();
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || file.readAll().isEmpty())
            return fail("cannot read the last settings");
        const long long readNs = bench::monotonicNs() - t1;
        std::printf("restore %lld %lld\n", restoreNs, readNs);
    }
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const char *mode = argc > 1 ? argv[1] : "";
    QApplication app(argc, argv);
    if (std::strcmp(mode, "startup") == 0)
        return runStartup(app);
    if (std::strcmp(mode, "start") == 0 && argc == 5)
        return runStart(app, QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                        std::atoi(argv[4]));
    if (std::strcmp(mode, "restore") == 0 && argc == 3)
        return runRestore(app, std::atoi(argv[2]));
    return fail("usage: orbelith-bench-probe startup | start <program folder> <floor folder> <runs> | "
                "restore <runs>");
}
