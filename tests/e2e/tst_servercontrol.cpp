#include "messages.h"
#include "processes.h"
#include "testfiles.h"

#include "posixservercontrol.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <thread>

using namespace testprocesses;
using namespace testfiles;
using namespace std::chrono_literals;

namespace {

// The pid of the server a search found and now watches.
std::optional<qint64> adoptedPid(const SearchAnswer &answer)
{
    if (answer.outcome == SearchAnswer::Outcome::Running)
        return answer.pid;
    return std::nullopt;
}

QString launchedText(const LaunchResult &launched)
{
    return launched.problem ? Messages::problem(*launched.problem, Messages::Request::Start) : QString();
}

} // namespace

class TestServerControl : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void searchOrder_data();
    void searchOrder();
    void launchIsDetachedInCurrentDirectory();
    void stopEndsOnlyThisFoldersServers();
    void stopWithoutServerSucceeds();
    void serverIgnoringTermIsKilledAfterGrace();
    void defaultControlGivesGracePeriod();
    void defaultControlNamesMissingInterpreter();
    void reaperLetsGoOfDescriptors();
    void stopEndsLaunchedServerWhateverItsName_data();
    void stopEndsLaunchedServerWhateverItsName();
    void exitIsReported_data();
    void exitIsReported();
    void backgroundedServerIsWatched_data();
    void backgroundedServerIsWatched();
    void adoptionFindsOnlyThisFoldersServers();
    void serverEndedDuringSearchIsNotAdopted();
    void adoptedServerLastWords_data();
    void adoptedServerLastWords();
    void stopAsksNothingOrTheWatchedServer_data();
    void stopAsksNothingOrTheWatchedServer();
    void logRotatesOverThreeStarts();
    void logThatCannotBeOpened();
    void openUrlHandsAddressToOpener();
    void missingOpenerIsReported();

private:
    QString path(const QString &name) const { return m_root->filePath(name); }
    void writeConfig(quint16 port);
    // A server program in the program folder: a shell script.
    void writeServerScript(const QByteArray &body);
    QString programDir() const { return path(QStringLiteral("program")); }
    pid_t startChild(const QString &directory, const QStringList &arguments,
                     const QString &output = QStringLiteral("/dev/null"))
    {
        const pid_t pid = startIn(directory, arguments, output);
        m_children.push_back(pid);
        return pid;
    }

    std::vector<pid_t> m_children;

    std::unique_ptr<QTemporaryDir> m_root;
    QString m_previousDir;
    QByteArray m_previousPath;
};

void TestServerControl::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    for (const char *dir : {"program", "cwd", "path1", "path2", "empty"})
        QVERIFY(QDir(m_root->path()).mkdir(QString::fromLatin1(dir)));
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(path(QStringLiteral("cwd"))));
    m_previousPath = qgetenv("PATH");
}

void TestServerControl::cleanup()
{
    killServersIn(QDir::currentPath());
    for (const pid_t pid : m_children)
        endChild(pid);
    m_children.clear();
    qputenv("PATH", m_previousPath);
    QDir::setCurrent(m_previousDir);
    m_root.reset();
}

void TestServerControl::writeConfig(quint16 port)
{
    QFile conf(QStringLiteral("orbelithsrv.conf"));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write("ServerName=Control\r\nPort=" + QByteArray::number(port) +
               "\r\nIP=127.0.0.1\r\nMotdLine=\r\nAllowWebAccess=1");
}

void TestServerControl::writeServerScript(const QByteArray &body)
{
    QVERIFY(writeExecutable(programDir() + QStringLiteral("/orbelithsrv"), "#!/bin/sh\n" + body));
}

void TestServerControl::searchOrder_data()
{
    QTest::addColumn<QStringList>("holders");
    QTest::addColumn<QString>("expected");

    QTest::newRow("program folder first") << QStringList{"program", "cwd", "path1"} << "program";
    QTest::newRow("then the current directory") << QStringList{"cwd", "path1"} << "cwd";
    QTest::newRow("then PATH in order") << QStringList{"path2", "path1"} << "path1";
    QTest::newRow("later PATH entry") << QStringList{"path2"} << "path2";
    QTest::newRow("nowhere") << QStringList{} << "";
    QTest::newRow("not executable is skipped") << QStringList{"program:noexec", "path2"} << "path2";
    QTest::newRow("a directory is skipped") << QStringList{"cwd:dir", "path1"} << "path1";
    // Found, and refused at the launch, not passed over (as root, for whom
    // another user's file lies in a folder that everyone may write to).
    QTest::newRow("another user's program is refused") << QStringList{"cwd:others", "path1"} << "cwd";
    QTest::newRow("another user's link on the way") << QStringList{"cwd:otherslink", "path1"} << "cwd";
}

void TestServerControl::searchOrder()
{
    QFETCH(QStringList, holders);
    QFETCH(QString, expected);

    for (const QString &holder : holders) {
        const QStringList parts = holder.split(u':');
        const QString file = path(parts[0]) + QStringLiteral("/orbelithsrv");
        if (parts.value(1) == QStringLiteral("dir"))
            QVERIFY(QDir().mkdir(file));
        else if (parts.value(1) == QStringLiteral("otherslink"))
            QVERIFY(writeExecutable(path(QStringLiteral("gamesrv")), "#!/bin/sh\n") &&
                    QFile::link(path(QStringLiteral("gamesrv")), file));
        else
            QVERIFY(writeExecutable(file, "#!/bin/sh\n"));
        if (parts.value(1) == QStringLiteral("noexec"))
            QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner));
        if (parts.value(1).startsWith(QStringLiteral("others"))) {
            if (::geteuid() != 0)
                QSKIP("needs root, to give a file to another user");
            QVERIFY(::lchown(QFile::encodeName(file).constData(), 65533, 65533) == 0 &&
                    ::chmod(".", 01777) == 0);
        }
    }
    qputenv("PATH", QFile::encodeName(path(QStringLiteral("empty")) + u':' + path(QStringLiteral("path1")) +
                                      u':' + path(QStringLiteral("path2"))));
    PosixServerControl control({path(QStringLiteral("program")), 1s});
    const std::optional<QString> found = control.findServerProgram();
    if (expected.isEmpty()) {
        QVERIFY(!found);
        return;
    }
    QVERIFY(found);
    QCOMPARE(*found, path(expected) + QStringLiteral("/orbelithsrv"));
    if (holders.value(0).contains(QStringLiteral(":others"))) {
        const QString refused = launchedText(control.launchServer());
        QVERIFY2(refused.contains(QStringLiteral("another user, uid 65533")) &&
                     refused.contains(QStringLiteral(", a folder that other users may write to")),
                 qPrintable(refused));
        QCOMPARE(entries(QDir::currentPath()), QStringList{QStringLiteral("orbelithsrv")}); // no log, no run
    }
}

void TestServerControl::launchIsDetachedInCurrentDirectory()
{
    const quint16 port = freeLoopbackPort();
    QVERIFY(port);
    writeConfig(port);
    // A descriptor the window holds open must not reach the server.
    const int inheritable = ::open("/dev/zero", O_RDONLY);
    QVERIFY(inheritable > 2);
    PosixServerControl control({QStringLiteral(STANDIN_DIR), 3s});
    const LaunchResult launched = control.launchServer();
    ::close(inheritable);
    QVERIFY2(!launched.problem, qPrintable(launchedText(launched)));

    QVERIFY(QTest::qWaitFor([this] { return serversIn(QDir::currentPath()).size() == 1; }, 5000));
    const pid_t server = *serversIn(QDir::currentPath()).begin();
    QCOMPARE(procLink(server, "cwd"), QDir::currentPath());
    // An input that never ends: a pipe whose both ends the server holds.
    QVERIFY2(procLink(server, "fd/0").contains(QStringLiteral("pipe:[")),
             qPrintable(procLink(server, "fd/0")));
    const QByteArray input = readFile(QStringLiteral("/proc/%1/fdinfo/0").arg(server));
    QCOMPARE(input.mid(input.indexOf("flags:") + 6).trimmed().split('\n').value(0).toInt(nullptr, 8) &
                 O_ACCMODE,
             O_RDWR);
    const QString log = QDir::current().filePath(QStringLiteral("orbelith-gui-server.log"));
    QCOMPARE(procLink(server, "fd/1"), log);
    QCOMPARE(procLink(server, "fd/2"), log);
    QVERIFY(procLink(server, qPrintable(QStringLiteral("fd/%1").arg(inheritable))) !=
            QStringLiteral("/dev/zero"));
    QVERIFY(::getsid(server) != ::getsid(0)); // no terminal of ours
    QVERIFY(::getppid() != server);

    QVERIFY(!control.stopServers());
    QVERIFY(waitForServersGone(QDir::currentPath()));
    QTRY_COMPARE(zombieChildren(), QStringList());
}

void TestServerControl::stopEndsOnlyThisFoldersServers()
{
    const quint16 port = freeLoopbackPort();
    writeConfig(port);
    PosixServerControl control({QStringLiteral(STANDIN_DIR), 3s});
    QVERIFY(!control.launchServer().problem);
    QVERIFY(QTest::qWaitFor([] { return serversIn(QDir::currentPath()).size() == 1; }, 5000));
    // One started by hand in this folder, one in another folder, and a
    // bystander here whose command line, but not its executable, names the
    // server.
    const pid_t byHand = startChild(QDir::currentPath(), {QStringLiteral(STUBBORN_DIR "/orbelithsrv")});
    const QString other = path(QStringLiteral("path1"));
    const pid_t elsewhere = startChild(other, {QStringLiteral(STUBBORN_DIR "/orbelithsrv")});
    const pid_t bystander =
        startChild(QDir::currentPath(), {QStringLiteral("/bin/bash"), QStringLiteral("-c"),
                                         QStringLiteral("exec -a orbelithsrv sleep 30")});
    QVERIFY(QTest::qWaitFor([&] { return serversIn(QDir::currentPath()).size() == 2; }, 5000));
    QVERIFY(
        QTest::qWaitFor([&] { return serversIn(other).size() == 1 && imageOf(bystander) == "sleep"; }, 5000));

    QSignalSpy stopped(&control, &ServerControl::serversStopped);
    QVERIFY(!control.stopServers());
    QVERIFY(stopped.wait(10000));
    QVERIFY(serversIn(QDir::currentPath()).empty());
    QCOMPARE(::waitpid(byHand, nullptr, WNOHANG), byHand); // ended, by the kill
    QCOMPARE(serversIn(other), std::set<pid_t>{elsewhere});
    QCOMPARE(::kill(bystander, 0), 0);
    QCOMPARE(::waitpid(bystander, nullptr, WNOHANG), 0);
}

void TestServerControl::stopWithoutServerSucceeds()
{
    if (!serverPids().empty())
        QSKIP("server processes not started by this test are running");
    PosixServerControl control({path(QStringLiteral("empty")), 1s});
    QVERIFY(!control.stopServers());
    QTRY_COMPARE(zombieChildren(), QStringList());
}

void TestServerControl::serverIgnoringTermIsKilledAfterGrace()
{
    PosixServerControl control({QStringLiteral(STUBBORN_DIR), 1500ms});
    QVERIFY(!control.launchServer().problem);
    QVERIFY(QTest::qWaitFor([] { return QFile::exists(QStringLiteral("stubborn.ready")); }, 5000));
    const std::set<pid_t> stubborn = serversIn(QDir::currentPath());
    QCOMPARE(stubborn.size(), size_t(1));

    QVERIFY(!control.stopServers());
    // Stop has returned while the server still ignores its SIGTERM...
    QCOMPARE(serversIn(QDir::currentPath()), stubborn);
    QTest::qWait(300);
    QCOMPARE(serversIn(QDir::currentPath()), stubborn);
    // ...and it is killed once the grace period is over.
    QVERIFY(waitForServersGone(QDir::currentPath()));
    QTRY_COMPARE(zombieChildren(), QStringList());
}

void TestServerControl::openUrlHandsAddressToOpener()
{
    const QString bin = path(QStringLiteral("path1"));
    QVERIFY(writeRecordingOpener(bin));
    qputenv("PATH", QFile::encodeName(bin) + ':' + m_previousPath);
    PosixServerControl control({path(QStringLiteral("empty")), 1s});
    const QString url = QStringLiteral("http://127.0.0.1: 12 ab");
    QVERIFY(!control.openUrl(url));
    QFile log(bin + QStringLiteral("/xdg-open.log"));
    QVERIFY(QTest::qWaitFor([&log] { return log.exists() && log.size() > 0; }, 5000));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), url.toUtf8() + '\n');
}

void TestServerControl::missingOpenerIsReported()
{
    qputenv("PATH", QFile::encodeName(path(QStringLiteral("empty"))));
    PosixServerControl control({path(QStringLiteral("empty")), 1s});
    const std::optional<ControlProblem> opened = control.openUrl(QStringLiteral("http://127.0.0.1:1"));
    QVERIFY(opened);
    const QString text = Messages::problem(*opened, Messages::Request::OpenUrl);
    QVERIFY2(text.contains(QStringLiteral("xdg-open")), qPrintable(text));
    QVERIFY(text.contains(QStringLiteral("http://127.0.0.1:1")));
}

void TestServerControl::defaultControlGivesGracePeriod()
{
    // The program's own control, as createPlatformServerControl() makes it,
    // stopping a server that needs two seconds to save its state on SIGTERM.
    const QString output = path(QStringLiteral("saving.out"));
    const pid_t saving = startChild(QDir::currentPath(), {QStringLiteral(SAVING_DIR "/orbelithsrv")}, output);
    QVERIFY(QTest::qWaitFor([] { return QFile::exists(QStringLiteral("saving.ready")); }, 5000));
    const std::unique_ptr<ServerControl> control = createPlatformServerControl();
    QCOMPARE(adoptedPid(control->findRunningServer()), std::optional<qint64>(saving));
    QSignalSpy stopped(control.get(), &ServerControl::serversStopped);
    QVERIFY(!control->stopServers());
    QVERIFY(stopped.wait(10000));
    int status = 0;
    QCOMPARE(::waitpid(saving, &status, 0), saving);
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, "killed while saving");
    QCOMPARE(readFile(output), QByteArray("state saved\n"));
    m_children.clear();
}

void TestServerControl::defaultControlNamesMissingInterpreter()
{
    // The program's own control looks beside the program first, where the
    // tests' stand-in lies: a copy of this test program runs the case in a
    // folder of its own, with a script beside it whose interpreter is missing.
    if (qEnvironmentVariableIsSet("ORBELITH_TEST_COPY")) {
        const LaunchResult launched = createPlatformServerControl()->launchServer();
        QCOMPARE(
            launchedText(launched),
            QStringLiteral("Could not start %1/orbelithsrv: its interpreter /nonexistent/interpreter was not "
                           "found.")
                .arg(QCoreApplication::applicationDirPath()));
        return;
    }
    QVERIFY(writeExecutable(programDir() + QStringLiteral("/orbelithsrv"), "#!/nonexistent/interpreter\n"));
    const QString copy = programDir() + QStringLiteral("/tst_servercontrol");
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), copy));
    QVERIFY(QFile::setPermissions(copy, QFile::ReadOwner | QFile::ExeOwner));
    QProcess run;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ORBELITH_TEST_COPY"), QStringLiteral("1"));
    run.setProcessEnvironment(environment);
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.start(copy, {QStringLiteral("defaultControlNamesMissingInterpreter")});
    QVERIFY(run.waitForFinished(60000));
    const QByteArray output = run.readAll();
    QVERIFY2(run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0, output.constData());
    QVERIFY2(output.contains("PASS   : TestServerControl::defaultControlNamesMissingInterpreter()"),
             output.constData());
    QVERIFY(serversIn(QDir::currentPath()).empty());
}

void TestServerControl::reaperLetsGoOfDescriptors()
{
    // Whatever the front-end holds open (its display connection, pipes) must
    // not be kept open by the process that waits out the grace period.
    int pipeFds[2];
    QVERIFY(::pipe(pipeFds) == 0);
    PosixServerControl control({QStringLiteral(STUBBORN_DIR), 60s});
    QVERIFY(!control.launchServer().problem);
    QVERIFY(QTest::qWaitFor([] { return QFile::exists(QStringLiteral("stubborn.ready")); }, 5000));
    QVERIFY(!control.stopServers());
    ::close(pipeFds[1]);
    const bool hungUp = QTest::qWaitFor(
        [&] {
            pollfd p{pipeFds[0], POLLIN, 0};
            return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
        },
        10000);
    ::close(pipeFds[0]);
    QVERIFY2(hungUp, "a copy of the front-end's descriptors stays open during the grace period");
    QCOMPARE(serversIn(QDir::currentPath()).size(), size_t(1)); // still in its grace period
}

void TestServerControl::stopEndsLaunchedServerWhateverItsName_data()
{
    QTest::addColumn<QString>("how");
    // Whether the next window in the folder takes it over.
    QTest::addColumn<bool>("adoptable");
    QTest::newRow("a link to orbelithsrv-1.0") << "link" << true;
    QTest::newRow("a wrapper that execs orbelithsrv.x86_64") << "exec" << false;
    // The wrapper, a script run under the server's name, its interpreter
    // with an option; the next window takes it over, and its Stop ends the
    // wrapper's group with it.
    QTest::newRow("a wrapper that forks orbelithsrv.x86_64") << "fork" << true;
    // Its /proc/PID/exe is root's to read, so its own user cannot find it by
    // name.
    QTest::newRow("orbelithsrv with file capabilities, by a normal user") << "capabilities" << false;
}

namespace {

// Gives a file CAP_NET_BIND_SERVICE, as setcap cap_net_bind_service+ep does.
bool giveFileCapability(const QString &file)
{
    vfs_cap_data capability{};
    capability.magic_etc = VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE;
    capability.data[0].permitted = 1u << CAP_NET_BIND_SERVICE;
    return ::setxattr(QFile::encodeName(file).constData(), "security.capability", &capability,
                      sizeof capability, 0) == 0;
}

} // namespace

void TestServerControl::stopEndsLaunchedServerWhateverItsName()
{
    QFETCH(QString, how);
    QFETCH(bool, adoptable);
    // The real server, renamed: it ignores SIGTERM, so only the kill after
    // the grace period ends it, and it is never found by its name.
    const QString realName = how == QStringLiteral("link")           ? QStringLiteral("orbelithsrv-1.0")
                             : how == QStringLiteral("capabilities") ? QStringLiteral("orbelithsrv")
                                                                     : QStringLiteral("orbelithsrv.x86_64");
    const QString real = programDir() + u'/' + realName;
    QVERIFY(QFile::copy(QStringLiteral(STUBBORN_DIR "/orbelithsrv"), real));
    std::optional<decltype(actAsUser(0))> asUser;
    if (how == QStringLiteral("capabilities")) {
        if (::geteuid() != 0 || !giveFileCapability(real))
            QSKIP("needs root, to give a file capabilities and to act as another user");
        // The user needs to reach the program and write in the folder.
        QVERIFY(QFile::setPermissions(m_root->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                          QFile::ReadOther | QFile::ExeOther));
        QVERIFY(::chmod(".", 0777) == 0);
        asUser.emplace(actAsUser(65534));
        QVERIFY(asUser->first);
    } else if (how == QStringLiteral("link"))
        QVERIFY(QFile::link(real, programDir() + QStringLiteral("/orbelithsrv")));
    else if (how == QStringLiteral("exec"))
        writeServerScript("exec '" + QFile::encodeName(real) + "'\n");
    else
        QVERIFY(writeExecutable(programDir() + QStringLiteral("/orbelithsrv"),
                                "#!/bin/sh -e\n'" + QFile::encodeName(real) + "' &\nwait\n"));

    PosixServerControl control({programDir(), 300ms});
    QVERIFY(!control.launchServer().problem);
    QVERIFY(QTest::qWaitFor([] { return QFile::exists(QStringLiteral("stubborn.ready")); }, 5000));
    PosixServerControl adopter({programDir(), 300ms});
    QCOMPARE(adoptedPid(adopter.findRunningServer()), adoptable ? control.watchedServer() : std::nullopt);
    // Whoever took it over stops it.
    PosixServerControl &stopping = adoptable ? adopter : control;
    const QString here = QDir::current().canonicalPath();
    const bool byAnotherUser = asUser.has_value();
    // Of any user but this test: the folder is the test's own.
    const auto runningHere = [&here] {
        const QStringList entries =
            QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        return size_t(std::count_if(entries.begin(), entries.end(), [&here](const QString &entry) {
            return entry.front().isDigit() && entry != QString::number(::getpid()) &&
                   QFile::symLinkTarget(QStringLiteral("/proc/%1/cwd").arg(entry)) == here;
        }));
    };
    const auto running = [&] {
        return byAnotherUser ? runningHere() : processesByImageName(realName).size();
    };
    if (byAnotherUser) {
        // Its own user cannot find it by name and folder, only by the launch.
        QVERIFY(serversIn(here).empty());
    } else {
        QCOMPARE(running(), size_t(1));
    }
    QSignalSpy stopped(&stopping, &ServerControl::serversStopped);
    QVERIFY(!stopping.stopServers());
    QVERIFY(stopped.wait(10000));
    asUser.reset();
    // Once the reaper, which runs in the folder too, is done.
    QTRY_COMPARE(running(), size_t(0));
    QTRY_COMPARE(zombieChildren(), QStringList());
}

void TestServerControl::exitIsReported_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("lastLine");

    const int exited = int(ServerExit::Kind::Exited);
    QTest::newRow("exit code and last line")
        << QByteArray("echo starting\necho 'bind 127.0.0.1:27888: Address in use' >&2\necho\nexit 3\n")
        << exited << 3 << QStringLiteral("bind 127.0.0.1:27888: Address in use");
    QTest::newRow("clean exit") << QByteArray("echo done\nexit 0\n") << exited << 0 << QStringLiteral("done");
    QTest::newRow("nothing written") << QByteArray("exit 5\n") << exited << 5 << QString();
    QTest::newRow("10 MB without a line end")
        << QByteArray("head -c 10000000 /dev/zero | tr '\\0' x\nexit 4\n") << exited << 4
        << QString(200, u'x');
    QTest::newRow("binary bytes") << QByteArray("printf 'a\\001\\033b\\377\\n\\n'\nexit 6\n") << exited << 6
                                  << QStringLiteral("a  b\uFFFD");
    // Its input never ends.
    QTest::newRow("reads its input until a signal from outside ends it")
        << QByteArray("echo waiting\nexec cat\n") << int(ServerExit::Kind::Signalled) << int(SIGKILL)
        << QStringLiteral("waiting");
}

void TestServerControl::exitIsReported()
{
    QFETCH(QByteArray, script);
    QFETCH(int, kind);
    QFETCH(int, code);
    QFETCH(QString, lastLine);

    writeServerScript(script);
    PosixServerControl control({programDir(), 1s});
    QSignalSpy ended(&control, &ServerControl::serverEnded);
    QVERIFY(!control.launchServer().problem);
    const std::optional<qint64> server = control.watchedServer();
    QVERIFY(server);
    if (kind == int(ServerExit::Kind::Signalled)) {
        QVERIFY(QTest::qWaitFor([&] { return imageOf(pid_t(*server)) == "cat"; }, 5000));
        QCOMPARE(::kill(pid_t(*server), SIGKILL), 0);
    }
    QVERIFY(ended.wait(20000));
    const auto exit = ended.at(0).at(0).value<ServerExit>();
    QCOMPARE(int(exit.kind), kind);
    QCOMPARE(exit.code, code);
    QCOMPARE(exit.lastLine, lastLine);
    if (kind == int(ServerExit::Kind::Signalled))
        QCOMPARE(exit.signalName, QStringLiteral("Killed"));
    QCOMPARE(zombieChildren(), QStringList());
    QVERIFY(!control.watchedServer());
}

void TestServerControl::backgroundedServerIsWatched_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<bool>("handedOver");
    const QByteArray untilUp = "while [ ! -e stubborn.ready ]; do sleep 0.05; done\n";
    // As a daemon does.
    QTest::newRow("waits until its server is up, exits with 0")
        << "'" STUBBORN_DIR "/orbelithsrv' &\n" + untilUp + "exit 0\n"
        << true;
    // Its child is still a shell of another name when it exits.
    QTest::newRow("exits with 0 before its child is the server")
        << QByteArray("sh -c \"sleep 0.5; exec '" STUBBORN_DIR "/orbelithsrv'\" &\nexit 0\n") << true;
    // The one that already is the server, not the first started.
    QTest::newRow("leaves a helper and its server in its group, exits with 0")
        << "sleep 5 &\n'" STUBBORN_DIR "/orbelithsrv' &\n" + untilUp + "exit 0\n"
        << true;
    QTest::newRow("fails, leaving a server") << "'" STUBBORN_DIR "/orbelithsrv' &\n" + untilUp + "exit 3\n"
                                             << false;
}

void TestServerControl::backgroundedServerIsWatched()
{
    QFETCH(QByteArray, script);
    QFETCH(bool, handedOver);
    writeServerScript(script);
    PosixServerControl control({programDir(), 1s});
    QSignalSpy ended(&control, &ServerControl::serverEnded);
    QVERIFY(!control.launchServer().problem);
    const qint64 launcher = *control.watchedServer();
    QVERIFY(QTest::qWaitFor([] { return QFile::exists(QStringLiteral("stubborn.ready")); }, 5000));
    QVERIFY(QTest::qWaitFor([&] { return control.watchedServer() != launcher; }, 5000));
    QCOMPARE(zombieChildren(), QStringList()); // the launcher is reaped
    const std::set<pid_t> servers = serversIn(QDir::currentPath());
    QCOMPARE(servers.size(), size_t(1));
    if (!handedOver) {
        // Its failure is the launch's: the window says so.
        QVERIFY(ended.size() == 1 || ended.wait(5000));
        QCOMPARE(ended.at(0).at(0).value<ServerExit>().code, 3);
        QVERIFY(!control.watchedServer());
        return;
    }
    QCOMPARE(control.watchedServer(), std::optional<qint64>(*servers.begin()));
    QCOMPARE(ended.size(), 0);

    // Not the front-end's child: how it ended cannot be known, only that it did.
    QCOMPARE(::kill(*servers.begin(), SIGKILL), 0);
    QVERIFY(ended.wait(5000));
    QCOMPARE(ended.at(0).at(0).value<ServerExit>().kind, ServerExit::Kind::Unknown);
}

void TestServerControl::adoptionFindsOnlyThisFoldersServers()
{
    PosixServerControl control({programDir(), 1s});
    // Not adopted: a server in another folder, a process of another name in
    // this one, and (where the test may become nobody) another user's, a
    // set-uid copy of root's: its effective user is root, as the test's own.
    const QString other = path(QStringLiteral("path1"));
    startChild(other, {QStringLiteral(STUBBORN_DIR "/orbelithsrv")});
    const QString renamed = programDir() + QStringLiteral("/orbelithsrvd");
    QVERIFY(QFile::copy(QStringLiteral(STUBBORN_DIR "/orbelithsrv"), renamed));
    const pid_t otherName = startChild(QDir::currentPath(), {renamed});
    pid_t nobodys = -1;
    if (::geteuid() == 0 && QFile::exists(QStringLiteral("/usr/bin/setpriv"))) {
        const QString decoy = path(QStringLiteral("path2/orbelithsrv"));
        QVERIFY(QFile::copy(QStringLiteral(STUBBORN_DIR "/orbelithsrv"), decoy) &&
                ::chmod(QFile::encodeName(decoy).constData(), 04755) == 0 && ::chmod(".", 0755) == 0 &&
                ::chmod(QFile::encodeName(m_root->path()).constData(), 0755) == 0);
        nobodys = startChild(QDir::currentPath(),
                             {QStringLiteral("/usr/bin/setpriv"), QStringLiteral("--reuid=nobody"),
                              QStringLiteral("--regid=nogroup"), QStringLiteral("--clear-groups"), decoy});
        QVERIFY(QTest::qWaitFor([&] { return imageOf(nobodys) == "orbelithsrv"; }, 5000));
        QVERIFY(readFile(QStringLiteral("/proc/%1/status").arg(nobodys)).contains("\nUid:\t65534\t0\t"));
    }
    QVERIFY(QTest::qWaitFor(
        [&] { return serversIn(other).size() == 1 && imageOf(otherName) == "orbelithsrvd"; }, 5000));
    QCOMPARE(adoptedPid(control.findRunningServer()), std::nullopt);

    // Adopted: the lowest of this folder's servers, whatever the path's
    // spelling (the folder is entered through a link).
    const QString link = path(QStringLiteral("link"));
    QVERIFY(QFile::link(QDir::currentPath(), link));
    // The second through the versioned file that the server's name links to.
    const QString versioned = programDir() + QStringLiteral("/gamesrv-1.2");
    QVERIFY(QFile::copy(QStringLiteral(STUBBORN_DIR "/orbelithsrv"), versioned));
    QVERIFY(QFile::link(versioned, programDir() + QStringLiteral("/orbelithsrv")));
    const pid_t second = startChild(QDir::currentPath(), {versioned});
    QVERIFY(QTest::qWaitFor([&] { return imageOf(second) == "gamesrv-1.2"; }, 5000));
    QCOMPARE(adoptedPid(control.findRunningServer()), std::optional<qint64>(second));
    const pid_t first = startChild(link, {QStringLiteral(STUBBORN_DIR "/orbelithsrv")});
    QVERIFY(QTest::qWaitFor([&] { return serversIn(QDir::currentPath()).size() == 1; }, 5000));
    QCOMPARE(adoptedPid(PosixServerControl({programDir(), 1s}).findRunningServer()),
             std::optional<qint64>(std::min(first, second)));

    // Stop ends both, and none of the others.
    QSignalSpy stopped(&control, &ServerControl::serversStopped);
    QVERIFY(!control.stopServers());
    QVERIFY(stopped.wait(10000));
    QVERIFY(serversIn(QDir::currentPath()).empty());
    QCOMPARE(::waitpid(second, nullptr, WNOHANG), second);
    QCOMPARE(serversIn(other).size(), size_t(1));
    QCOMPARE(::waitpid(otherName, nullptr, WNOHANG), 0);
    if (nobodys > 0)
        QCOMPARE(::waitpid(nobodys, nullptr, WNOHANG), 0);
}

void TestServerControl::serverEndedDuringSearchIsNotAdopted()
{
    const pid_t server = startChild(QDir::currentPath(), {QStringLiteral(STUBBORN_DIR "/orbelithsrv")});
    QVERIFY(QTest::qWaitFor([&] { return serversIn(QDir::currentPath()).size() == 1; }, 5000));
    PosixServerControl control({programDir(), 1s});
    QSignalSpy answered(&control, &ServerControl::searchAnswered);
    // It ends once the search, on a thread of its own, has found it, before
    // the control takes it over: no events are processed meanwhile, so the
    // answer waits.
    const int threads = threadCount();
    control.startSearch();
    for (QDeadlineTimer deadline(5000); threadCount() != threads && !deadline.hasExpired();)
        std::this_thread::sleep_for(1ms);
    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);
    QVERIFY(answered.wait(5000));
    QCOMPARE(answered.at(0).at(0).value<SearchAnswer>().outcome, SearchAnswer::Outcome::NotRunning);
    QVERIFY(!control.watchedServer());
}

void TestServerControl::adoptedServerLastWords_data()
{
    // What the folder's log is, and whether the server writes into it.
    QTest::addColumn<QString>("log");
    QTest::addColumn<QString>("lastLine");
    QTest::newRow("its output is the folder's log") << "its output"
                                                    << "its last words";
    QTest::newRow("its output goes elsewhere") << "another file"
                                               << "";
    // Never read through a link, nor waited on.
    QTest::newRow("the log is a link to its output") << "a link to its output"
                                                     << "";
    QTest::newRow("the log is a FIFO") << "a FIFO"
                                       << "";
}

void TestServerControl::adoptedServerLastWords()
{
    QFETCH(QString, log);
    QFETCH(QString, lastLine);
    const QString output = log == QStringLiteral("its output") ? QStringLiteral("orbelith-gui-server.log")
                                                               : path(QStringLiteral("elsewhere.log"));
    if (log == QStringLiteral("another file"))
        QVERIFY(writeFile(QStringLiteral("orbelith-gui-server.log"), "not its words\n"));
    else if (log == QStringLiteral("a link to its output"))
        QVERIFY(QFile::link(output, QStringLiteral("orbelith-gui-server.log")));
    else if (log == QStringLiteral("a FIFO"))
        QCOMPARE(::mkfifo("orbelith-gui-server.log", 0600), 0);
    writeServerScript("echo 'its last words'\nexec '" STUBBORN_DIR "/orbelithsrv'\n");
    const pid_t server =
        startChild(QDir::currentPath(), {programDir() + QStringLiteral("/orbelithsrv")}, output);
    QVERIFY(QTest::qWaitFor([] { return QFile::exists(QStringLiteral("stubborn.ready")); }, 5000));

    PosixServerControl control({programDir(), 1s});
    QSignalSpy ended(&control, &ServerControl::serverEnded);
    QCOMPARE(adoptedPid(control.findRunningServer()), std::optional<qint64>(server));
    QCOMPARE(::kill(server, SIGKILL), 0);
    QVERIFY(ended.wait(5000));
    QCOMPARE(ended.at(0).at(0).value<ServerExit>().lastLine, lastLine);
}

void TestServerControl::stopAsksNothingOrTheWatchedServer_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("asked");
    // Then nothing is asked to end, and the server runs on.
    QTest::newRow("no process for the grace period can be started") << "no process" << false;
    // The server the window watches is held all the same; a control that
    // watches none cannot tell whether one runs, and asks nothing to end.
    QTest::newRow("the folder cannot be read") << "folder unreadable" << true;
    QTest::newRow("the folder was removed") << "folder removed" << true;
    QTest::newRow("the process list cannot be read") << "no /proc" << true;
}

void TestServerControl::stopAsksNothingOrTheWatchedServer()
{
    QFETCH(QString, fault);
    QFETCH(bool, asked);
    if (::geteuid() != 0)
        QSKIP("needs root, to act as a user whom process limits and permissions bind");
    if (fault == QStringLiteral("no /proc") && qEnvironmentVariableIsEmpty("ORBELITH_SMALL_DISK"))
        QSKIP("needs a mount namespace of its own: run through mount-run.sh (ctest -R tst_noproclist)");
    // As nobody, whom permissions and limits bind, in a folder of nobody's.
    QVERIFY(QFile::setPermissions(m_root->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                      QFile::ReadOther | QFile::ExeOther));
    QCOMPARE(::chown(".", 65534, 65534), 0);
    // A server that keeps SIGTERM blocked, so that one sent to it stays
    // pending where /proc shows it.
    const QString server = programDir() + QStringLiteral("/orbelithsrv");
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), server));
    auto [ok, asRoot] = actAsUser(65534);
    QVERIFY(ok);
    sigset_t term, previous;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &term, &previous);
    const pid_t pid = startChild(QDir::currentPath(), {server, QStringLiteral("60")});
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    QVERIFY(QTest::qWaitFor([&] { return imageOf(pid) == "orbelithsrv"; }, 5000));
    PosixServerControl control({programDir(), 60s});
    QCOMPARE(adoptedPid(control.findRunningServer()), std::optional<qint64>(pid));

    rlimit limit{};
    QCOMPARE(::getrlimit(RLIMIT_NPROC, &limit), 0);
    const rlimit none{1, limit.rlim_max};
    // Removing the folder and mounting over /proc take root, the saved user.
    if (fault == QStringLiteral("no process"))
        QCOMPARE(::setrlimit(RLIMIT_NPROC, &none), 0);
    else if (fault == QStringLiteral("folder unreadable"))
        QCOMPARE(::chmod(".", 0), 0);
    else if (fault == QStringLiteral("folder removed"))
        QVERIFY(::seteuid(0) == 0 && ::rmdir("../cwd") == 0 && ::seteuid(65534) == 0);
    else
        QVERIFY(::seteuid(0) == 0 && ::mount("none", "/proc", "tmpfs", 0, nullptr) == 0 &&
                ::seteuid(65534) == 0);
    const std::optional<ControlProblem> stopped = control.stopServers();
    PosixServerControl unwatched({programDir(), 60s});
    const SearchAnswer unknown = asked ? unwatched.findRunningServer() : SearchAnswer{};
    const std::optional<ControlProblem> notStopped = asked ? unwatched.stopServers() : std::nullopt;
    ::setrlimit(RLIMIT_NPROC, &limit);
    ::chmod(".", 0755);
    QVERIFY(fault != QStringLiteral("no /proc") ||
            (::seteuid(0) == 0 && ::umount("/proc") == 0 && ::seteuid(65534) == 0));
    QCOMPARE(!stopped, asked);
    QCOMPARE(signalIn(pid, "ShdPnd", SIGTERM), asked);
    if (asked) {
        QCOMPARE(unknown.outcome, SearchAnswer::Outcome::Unknown);
        QCOMPARE(notStopped.value_or(ControlProblem()).kind, fault == QStringLiteral("no /proc")
                                                                 ? ControlProblem::Kind::ProcessListUnreadable
                                                                 : ControlProblem::Kind::FolderUnreadable);
    }
    if (!asked) {
        const QString text = Messages::problem(*stopped, Messages::Request::Stop);
        QVERIFY2(text.contains(QStringLiteral("Nothing was asked to end")), qPrintable(text));
        // Still watched, and the next Stop works.
        QCOMPARE(control.watchedServer(), std::optional<qint64>(pid));
        QVERIFY(!control.stopServers());
        QVERIFY(signalIn(pid, "ShdPnd", SIGTERM));
    }
}

void TestServerControl::logRotatesOverThreeStarts()
{
    writeServerScript("n=$(cat n 2>/dev/null || echo 0); n=$((n + 1)); echo $n > n\necho \"run $n\"\n");
    // The server's own log, which no Start touches.
    QVERIFY(writeFile(QStringLiteral("orbelithsrv.log"), "its own\n"));
    PosixServerControl control({programDir(), 1s});
    QSignalSpy ended(&control, &ServerControl::serverEnded);
    ::umask(022);
    for (int run = 1; run <= 3; ++run) {
        const LaunchResult launched = control.launchServer();
        QVERIFY(!launched.problem);
        QCOMPARE(launched.log.kind, LogNote::Kind::None);
        QVERIFY(ended.wait(5000));
        QCOMPARE(ended.takeFirst().at(0).value<ServerExit>().lastLine, QStringLiteral("run %1").arg(run));
    }
    // Starts that launch nothing leave the last real run's log as it was:
    // here a run whose log its Start could not rotate, left under the new
    // log's name.
    QVERIFY(writeFile(QStringLiteral("orbelith-gui-server.log.new"), "stranded\n"));
    for (const QByteArray &unstartable :
         {QByteArray("#!/nonexistent/interpreter\n"), QByteArray("no program\n")}) {
        QVERIFY(writeExecutable(programDir() + QStringLiteral("/orbelithsrv"), unstartable));
        QVERIFY(!!control.launchServer().problem);
    }
    QCOMPARE(readFile(QStringLiteral("orbelith-gui-server.log")), QByteArray("stranded\n"));
    QCOMPARE(readFile(QStringLiteral("orbelith-gui-server.log.1")), QByteArray("run 3\n"));
    QCOMPARE(entries(QDir::currentPath()),
             (QStringList{"n", "orbelith-gui-server.log", "orbelith-gui-server.log.1", "orbelithsrv.log"}));
    QCOMPARE(readFile(QStringLiteral("orbelithsrv.log")), QByteArray("its own\n"));
    struct stat st
    {
    };
    QCOMPARE(::stat("orbelith-gui-server.log.1", &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0644)); // the umask's
}

void TestServerControl::logThatCannotBeOpened()
{
    writeServerScript("echo unheard\nexit 2\n");
    PosixServerControl control({programDir(), 1s});
    QSignalSpy ended(&control, &ServerControl::serverEnded);

    // A read-only log of an earlier run is kept as the previous one.
    QVERIFY(writeFile(QStringLiteral("orbelith-gui-server.log"), "earlier\n"));
    QVERIFY(QFile::setPermissions(QStringLiteral("orbelith-gui-server.log"), QFile::ReadOwner));
    LaunchResult launched = control.launchServer();
    QVERIFY(!launched.problem);
    QCOMPARE(launched.log.kind, LogNote::Kind::None);
    QVERIFY(ended.wait(5000));
    QCOMPARE(readFile(QStringLiteral("orbelith-gui-server.log.1")), QByteArray("earlier\n"));
    QCOMPARE(readFile(QStringLiteral("orbelith-gui-server.log")), QByteArray("unheard\n"));

    // A directory in the way: the server runs all the same, unheard.
    QVERIFY(QFile::remove(QStringLiteral("orbelith-gui-server.log")));
    QVERIFY(QDir().mkdir(QStringLiteral("orbelith-gui-server.log")));
    launched = control.launchServer();
    QVERIFY(!launched.problem);
    QCOMPARE(Messages::started(launched.log),
             QStringLiteral("Orbelith Server started.... (no log: Is a directory)"));
    QVERIFY(ended.wait(5000));
    const auto exit = ended.takeLast().at(0).value<ServerExit>();
    QCOMPARE(exit.code, 2);
    QCOMPARE(exit.lastLine, QString());
    QVERIFY(QFileInfo(QStringLiteral("orbelith-gui-server.log")).isDir());

    // A FIFO in the way, which nobody reads.
    QVERIFY(QDir().rmdir(QStringLiteral("orbelith-gui-server.log")));
    QCOMPARE(::mkfifo("orbelith-gui-server.log", 0600), 0);
    launched = control.launchServer();
    QCOMPARE(launched.log.kind, LogNote::Kind::LogNotOwn);
    QVERIFY(ended.wait(5000));

    // The previous log cannot be kept: this run is added to the log, and
    // the window says so.
    QVERIFY(QFile::remove(QStringLiteral("orbelith-gui-server.log")));
    QVERIFY(writeFile(QStringLiteral("orbelith-gui-server.log"), "earlier\n"));
    QVERIFY(QFile::remove(QStringLiteral("orbelith-gui-server.log.1")) &&
            QDir().mkdir(QStringLiteral("orbelith-gui-server.log.1")));
    launched = control.launchServer();
    QVERIFY(!launched.problem);
    QCOMPARE(launched.log.kind, LogNote::Kind::PreviousIsFolder);
    QVERIFY(ended.wait(5000));
    QCOMPARE(readFile(QStringLiteral("orbelith-gui-server.log")), QByteArray("earlier\nunheard\n"));

    // Another user's file there is not this program's to replace: known
    // before the launch, so that this run is added to the log (as root).
    if (::geteuid() != 0)
        return;
    QVERIFY(QDir().rmdir(QStringLiteral("orbelith-gui-server.log.1")) &&
            writeFile(QStringLiteral("orbelith-gui-server.log.1"), "not ours\n") &&
            ::chown("orbelith-gui-server.log.1", 65534, 65534) == 0);
    launched = control.launchServer();
    QCOMPARE(
        Messages::started(launched.log),
        QStringLiteral("Orbelith Server started.... (log not rotated: orbelith-gui-server.log.1 is not a "
                       "regular file of yours; this run is added to orbelith-gui-server.log)"));
    QVERIFY(ended.wait(5000));
    QCOMPARE(readFile(QStringLiteral("orbelith-gui-server.log.1")), QByteArray("not ours\n"));
}

QTEST_GUILESS_MAIN(TestServerControl)
#include "tst_servercontrol.moc"
