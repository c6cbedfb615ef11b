// The search for this folder's servers against a PID that is recycled while
// it looks: the process it holds must be the one it checked. And a launch
// where the kernel refuses pidfds. This program steps into the control's
// calls of pidfd_open through its own syscall(), which the control's calls
// reach before the C library's.
#include "messages.h"
#include "processes.h"
#include "testfiles.h"

#include <QTemporaryDir>
#include <QTest>

#include <cstdarg>
#include <dlfcn.h>
#include <functional>
#include <linux/sched.h>
#include <sys/syscall.h>

using namespace testprocesses;
using namespace std::chrono_literals;

namespace {

// Called, once, in place of the next pidfd_open with that call's PID; what
// it returns is the call's result when it is not 0 (-1 with errno set).
std::function<long(pid_t)> g_beforePidfdOpen;

long realSyscall(long number, long a, long b, long c, long d, long e, long f)
{
    using Syscall = long (*)(long, ...);
    static const auto real = reinterpret_cast<Syscall>(::dlsym(RTLD_NEXT, "syscall"));
    return real(number, a, b, c, d, e, f);
}

} // namespace

extern "C" long syscall(long number, ...)
{
    va_list list;
    va_start(list, number);
    long a[6];
    for (long &argument : a)
        argument = va_arg(list, long);
    va_end(list);
    if (number == SYS_pidfd_open && g_beforePidfdOpen) {
        const auto before = std::exchange(g_beforePidfdOpen, nullptr);
        if (const long result = before(pid_t(a[0])))
            return result;
    }
    return realSyscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

class TestProcessScan : public QObject
{
    Q_OBJECT

private slots:
    void recycledPidIsNotTakenForTheServer_data();
    void recycledPidIsNotTakenForTheServer();
    void launchWithoutPidfdsStartsNothing();
};

namespace {

// Starts /bin/sleep in directory as the given PID: what the kernel would do
// by itself once PIDs wrap around, made certain. Needs CAP_SYS_ADMIN.
pid_t startSleepAs(pid_t pid, const QByteArray &directory)
{
    clone_args args{};
    args.exit_signal = SIGCHLD;
    args.set_tid = reinterpret_cast<quint64>(&pid);
    args.set_tid_size = 1;
    const long child = realSyscall(SYS_clone3, long(&args), sizeof args, 0, 0, 0, 0);
    if (child == 0) {
        // Only what is safe after a fork of a threaded process.
        char sleep[] = "/bin/sleep", seconds[] = "30";
        char *argv[] = {sleep, seconds, nullptr};
        if (::chdir(directory.constData()) == 0)
            ::execve(argv[0], argv, environ);
        ::_exit(127);
    }
    return pid_t(child);
}

} // namespace

void TestProcessScan::recycledPidIsNotTakenForTheServer_data()
{
    QTest::addColumn<bool>("sameFolder");
    // Only the executable's name tells it apart.
    QTest::newRow("another program in this folder") << true;
    QTest::newRow("another program in another folder") << false;
}

void TestProcessScan::recycledPidIsNotTakenForTheServer()
{
    QFETCH(bool, sameFolder);
    QTemporaryDir here, elsewhere;
    QVERIFY(here.isValid() && elsewhere.isValid());
    // A server that needs no configuration and runs until killed.
    const pid_t server = startIn(here.path(), {QStringLiteral(STUBBORN_DIR "/orbelithsrv")});
    QVERIFY(server > 0);
    QVERIFY(QTest::qWaitFor([&] { return QFile::exists(here.filePath(QStringLiteral("stubborn.ready"))); },
                            20000));
    QCOMPARE(serversIn(here.path()), std::set<pid_t>{server});
    DirectoryId folder;
    QVERIFY(directoryId(QFile::encodeName(here.path()).constData(), &folder));

    // Between the listing and the hold, the server ends and its PID goes to
    // a process that is no server.
    pid_t bystander = -1;
    int cloneError = 0;
    g_beforePidfdOpen = [&](pid_t held) {
        if (held == server) {
            ::kill(server, SIGKILL);
            ::waitpid(server, nullptr, 0);
            bystander = startSleepAs(server, QFile::encodeName(sameFolder ? here.path() : elsewhere.path()));
            cloneError = errno;
        }
        return 0L;
    };
    const std::vector<HeldProcess> found =
        serversInDirectory({PosixServerControl::programName().toStdString(), {}}, folder).processes;
    if (bystander < 0)
        QSKIP(qPrintable(QStringLiteral("cannot start a process at a chosen PID: %1")
                             .arg(QString::fromLocal8Bit(std::strerror(cloneError)))));
    QCOMPARE(bystander, server);
    // exec has happened once the PID's executable is sleep.
    QTRY_COMPARE(imageOf(bystander), QStringLiteral("sleep"));

    QVERIFY(found.empty());
    QCOMPARE(::kill(bystander, 0), 0);
    ::kill(bystander, SIGKILL);
    QCOMPARE(::waitpid(bystander, nullptr, 0), bystander);
}

void TestProcessScan::launchWithoutPidfdsStartsNothing()
{
    QTemporaryDir here;
    const auto back = qScopeGuard([previous = QDir::currentPath()] { QDir::setCurrent(previous); });
    QVERIFY(here.isValid() && QDir::setCurrent(here.path()));
    g_beforePidfdOpen = [](pid_t) {
        errno = ENOSYS;
        return -1L;
    };
    const LaunchResult launched = PosixServerControl({QStringLiteral(STUBBORN_DIR), 1s}).launchServer();
    QVERIFY(launched.problem);
    QCOMPARE(Messages::problem(*launched.problem, Messages::Request::Start),
             QStringLiteral("Could not start the server: this system gives the program no way to watch it "
                            "(Function not implemented). Nothing was started."));
    QCOMPARE(testfiles::entries(here.path()), QStringList());
}

QTEST_MAIN(TestProcessScan)
#include "tst_processscan.moc"
