// The program under measurement, started by orbelith-bench in a directory of
// its own:
//   orbelith-bench-probe startup
//       the program's start-up; reports when the window is first painted
//   orbelith-bench-probe start <program folder> <floor folder> <runs>
//       clicks Start on a freshly started window, then runs the floor of it
//   orbelith-bench-probe restore <runs>
//       restores the last settings from the file in the current directory
//   orbelith-bench-probe exit <program folder> <runs>
//       from a watched server's end to the status line saying so, and the
//       same for a bare pidfd
//   orbelith-bench-probe wakeups <program folder> <seconds>
//       the window's wake-ups while idle, without and with a watched server

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
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace {

int fail(const char *what)
{
    std::fprintf(stderr, "orbelith-bench-probe: %s\n", what);
    return 1;
}

// A control that looks for the server program only where the benchmark put
// its trivial one, never beside this program, where the stand-in lives.
std::unique_ptr<PosixServerControl> privateControl(const QString &programDir)
{
    return std::make_unique<PosixServerControl>(PosixServerControl::Options{programDir});
}

// The window fully started, shown and painted, as an operator finds it:
// with Start enabled once the search for a server already running has
// answered.
std::unique_ptr<Form1> startAndPaint(QApplication &app, const QString &programDir,
                                     PosixServerControl **control = nullptr)
{
    bench::FirstPaint firstPaint(nullptr);
    std::unique_ptr<PosixServerControl> own = privateControl(programDir);
    if (control)
        *control = own.get();
    std::unique_ptr<Form1> window = startMainWindow(app, std::move(own));
    auto *start = window->findChild<QPushButton *>(QStringLiteral("Command1"));
    const auto ready = [&] {
        return firstPaint.painted() && start && start->isEnabled();
    };
    QElapsedTimer waited;
    waited.start();
    while (!ready() && waited.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (!ready())
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
            return fail("the window was never painted, or Start never enabled");
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
        if (control.launchServer().problem)
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
        return fail("the window was never painted, or Start never enabled");
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

// Runs the event loop, sleeping while there is nothing to do, for timeoutMs
// or until quit() is called on the returned loop's behalf.
class IdleLoop
{
public:
    // True when quit() ended it rather than the time.
    bool run(int timeoutMs)
    {
        QTimer timeout;
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, &m_loop, [this] { m_loop.exit(1); });
        timeout.start(timeoutMs);
        return m_loop.exec() == 0;
    }
    void quit() { m_loop.exit(0); }

private:
    QEventLoop m_loop;
};

int runExit(QApplication &app, const QString &programDir, int runs)
{
    PosixServerControl *control = nullptr;
    const std::unique_ptr<Form1> window = startAndPaint(app, programDir, &control);
    if (!window)
        return fail("the window was never painted, or Start never enabled");
    auto *start = window->findChild<QPushButton *>(QStringLiteral("Command1"));
    auto *status = window->findChild<QLabel *>(QStringLiteral("Label4"));
    if (!start || !status || !control)
        return fail("the window has no Start button, status line or control");
    QByteArray program = QFile::encodeName(QDir(programDir).filePath(QStringLiteral("orbelithsrv")));

    for (int round = -1; round < runs; ++round) {
        // The window: Start, then the server is killed from outside while
        // the loop is idle; the window's own handler has updated Label4 when
        // this later connection to the same report runs.
        start->click();
        const std::optional<qint64> pid = control->watchedServer();
        if (!window->isServerRunning() || !pid)
            return fail(qPrintable(QStringLiteral("Start failed: ") + status->text()));
        long long killedNs = 0, shownNs = 0;
        IdleLoop loop;
        const QMetaObject::Connection seen = QObject::connect(control, &ServerControl::serverEnded, [&] {
            shownNs = bench::monotonicNs();
            loop.quit();
        });
        QTimer::singleShot(20, [&] {
            killedNs = bench::monotonicNs();
            ::kill(pid_t(*pid), SIGKILL);
        });
        if (!loop.run(10000))
            return fail("the window never saw the server end");
        QObject::disconnect(seen);
        if (!status->text().startsWith(QStringLiteral("Orbelith Server was ended by signal 9")))
            return fail(qPrintable(QStringLiteral("unexpected status: ") + status->text()));

        // The floor: the same program, a bare pidfd and poll, no Qt.
        pid_t floorPid = -1;
        char *argv[] = {program.data(), nullptr};
        if (::posix_spawn(&floorPid, program.constData(), nullptr, nullptr, argv, environ) != 0)
            return fail("cannot spawn the floor's server");
        const int pidfd = int(::syscall(SYS_pidfd_open, floorPid, 0));
        if (pidfd < 0)
            return fail("no pidfd");
        ::usleep(20000);
        const long long floorKilledNs = bench::monotonicNs();
        ::kill(floorPid, SIGKILL);
        pollfd p{pidfd, POLLIN, 0};
        ::poll(&p, 1, 10000);
        siginfo_t info{};
        ::waitid(idtype_t(P_PIDFD), id_t(pidfd), &info, WEXITED);
        const long long floorSeenNs = bench::monotonicNs();
        ::close(pidfd);
        if (round >= 0)
            std::printf("exit %lld %lld\n", shownNs - killedNs, floorSeenNs - floorKilledNs);
    }
    std::fflush(stdout);
    return 0;
}

// Voluntary context switches of every thread of this process: how often it
// went to sleep, and so how often something woke it.
long long voluntarySwitches()
{
    long long total = 0;
    DIR *tasks = ::opendir("/proc/self/task");
    if (!tasks)
        return -1;
    while (const dirent *task = ::readdir(tasks)) {
        if (task->d_name[0] == '.')
            continue;
        QFile status(QStringLiteral("/proc/self/task/%1/status").arg(QString::fromLatin1(task->d_name)));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches:"))
                total += line.mid(24).trimmed().toLongLong();
        }
    }
    ::closedir(tasks);
    return total;
}

int runWakeups(QApplication &app, const QString &programDir, int seconds)
{
    PosixServerControl *control = nullptr;
    const std::unique_ptr<Form1> window = startAndPaint(app, programDir, &control);
    if (!window)
        return fail("the window was never painted, or Start never enabled");
    auto *start = window->findChild<QPushButton *>(QStringLiteral("Command1"));
    if (!start)
        return fail("the window has no Start button");
    // The window's own idle wake-ups (the text cursor blinks twice a second)
    // come in whole periods: three stretches each, so that where one starts
    // in the period matters less.
    const auto idleSwitches = [seconds] {
        IdleLoop().run(1000); // settle
        long long total = 0;
        for (int stretch = 0; stretch < 3; ++stretch) {
            const long long before = voluntarySwitches();
            IdleLoop().run(seconds * 1000);
            total += voluntarySwitches() - before;
        }
        return total;
    };
    const long long without = idleSwitches();
    start->click();
    if (!window->isServerRunning())
        return fail("Start failed");
    const long long with = idleSwitches();
    if (!window->isServerRunning())
        return fail("the server ended during the measurement");
    // Stop it, so that it does not outlive the benchmark.
    auto *stop = window->findChild<QPushButton *>(QStringLiteral("command2"));
    IdleLoop stopped;
    QObject::connect(control, &ServerControl::serversStopped, [&stopped] { stopped.quit(); });
    stop->click();
    stopped.run(10000);
    std::printf("wakeups %lld %lld\n", with, without);
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
    if (std::strcmp(mode, "exit") == 0 && argc == 4)
        return runExit(app, QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]));
    if (std::strcmp(mode, "wakeups") == 0 && argc == 4)
        return runWakeups(app, QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]));
    return fail("usage: orbelith-bench-probe startup | start <program folder> <floor folder> <runs> | "
                "restore <runs> | exit <program folder> <runs> | wakeups <program folder> <seconds>");
}
