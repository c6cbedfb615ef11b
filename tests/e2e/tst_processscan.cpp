// The search for this folder's servers against a PID that is recycled while
// it looks: the process it holds must be the one it checked.
#include "processes.h"

#include <QTemporaryDir>
#include <QTest>

#include <linux/sched.h>
#include <sys/syscall.h>

using namespace testprocesses;

class TestProcessScan : public QObject
{
    Q_OBJECT

private slots:
    void recycledPidIsNotTakenForTheServer_data();
    void recycledPidIsNotTakenForTheServer();
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
    const long child = ::syscall(SYS_clone3, &args, sizeof args);
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
    const auto recycle = [&](pid_t listed) {
        if (listed != server || bystander > 0)
            return;
        ::kill(server, SIGKILL);
        ::waitpid(server, nullptr, 0);
        bystander = startSleepAs(server, QFile::encodeName(sameFolder ? here.path() : elsewhere.path()));
        cloneError = errno;
    };
    const std::vector<HeldProcess> found =
        serversInDirectory({PosixServerControl::programName().toStdString(), {}}, folder, true, recycle);
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

QTEST_MAIN(TestProcessScan)
#include "tst_processscan.moc"
