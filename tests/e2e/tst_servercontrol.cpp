#include "processes.h"

#include "posixservercontrol.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>

#include <memory>

using namespace testprocesses;
using namespace std::chrono_literals;

class TestServerControl : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void searchOrder_data();
    void searchOrder();
    void launchIsDetachedInCurrentDirectory();
    void stopEndsOnlyServers();
    void stopWithoutServerSucceeds();
    void serverIgnoringTermIsKilledAfterGrace();
    void openUrlHandsAddressToOpener();
    void missingOpenerIsReported();

private:
    QString path(const QString &name) const { return m_root->filePath(name); }
    void writeConfig(quint16 port);

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
        else
            QVERIFY(writeExecutable(file, "#!/bin/sh\n"));
        if (parts.value(1) == QStringLiteral("noexec"))
            QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner));
    }
    qputenv("PATH", QFile::encodeName(path(QStringLiteral("empty")) + u':' + path(QStringLiteral("path1")) +
                                      u':' + path(QStringLiteral("path2"))));
    const PosixServerControl control({path(QStringLiteral("program")), 1s});
    const std::optional<QString> found = control.findServerProgram();
    if (expected.isEmpty()) {
        QVERIFY(!found);
        return;
    }
    QVERIFY(found);
    QCOMPARE(*found, path(expected) + QStringLiteral("/orbelithsrv"));
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
    const Result launched = control.launchServer().result;
    ::close(inheritable);
    QVERIFY2(launched.ok(), qPrintable(launched.errorMessage()));

    QVERIFY(QTest::qWaitFor([this] { return serversIn(QDir::currentPath()).size() == 1; }, 5000));
    const pid_t server = *serversIn(QDir::currentPath()).begin();
    QCOMPARE(procLink(server, "cwd"), QDir::currentPath());
    QCOMPARE(procLink(server, "fd/0"), QStringLiteral("/dev/null"));
    QCOMPARE(procLink(server, "fd/1"), QStringLiteral("/dev/null"));
    QCOMPARE(procLink(server, "fd/2"), QStringLiteral("/dev/null"));
    QVERIFY(procLink(server, qPrintable(QStringLiteral("fd/%1").arg(inheritable))) !=
            QStringLiteral("/dev/zero"));
    QVERIFY(::getsid(server) != ::getsid(0)); // no terminal of ours
    QVERIFY(::getppid() != server);

    QVERIFY(control.stopServers().ok());
    QVERIFY(waitForServersGone(QDir::currentPath()));
    QTRY_COMPARE(zombieChildren(), QStringList());
}

void TestServerControl::stopEndsOnlyServers()
{
    const quint16 port = freeLoopbackPort();
    writeConfig(port);
    PosixServerControl control({QStringLiteral(STANDIN_DIR), 3s});
    QVERIFY(control.launchServer().result.ok());
    QVERIFY(QTest::qWaitFor([this] { return serversIn(QDir::currentPath()).size() == 1; }, 5000));

    // A bystander whose command line, but not its executable, names the server.
    QProcess bystander;
    bystander.start(QStringLiteral("sleep"), {QStringLiteral("30"), QStringLiteral("orbelithsrv")});
    QVERIFY(bystander.waitForStarted());

    QVERIFY(control.stopServers().ok());
    QVERIFY(waitForServersGone(QDir::currentPath()));
    QCOMPARE(bystander.state(), QProcess::Running);
    bystander.kill();
    bystander.waitForFinished();
}

void TestServerControl::stopWithoutServerSucceeds()
{
    if (!serverPids().empty())
        QSKIP("server processes not started by this test are running");
    PosixServerControl control({path(QStringLiteral("empty")), 1s});
    QVERIFY(control.stopServers().ok());
    QTRY_COMPARE(zombieChildren(), QStringList());
}

void TestServerControl::serverIgnoringTermIsKilledAfterGrace()
{
    PosixServerControl control({QStringLiteral(STUBBORN_DIR), 1500ms});
    QVERIFY(control.launchServer().result.ok());
    QVERIFY(QTest::qWaitFor([] { return QFile::exists(QStringLiteral("stubborn.ready")); }, 5000));
    const std::set<pid_t> stubborn = serversIn(QDir::currentPath());
    QCOMPARE(stubborn.size(), size_t(1));

    QVERIFY(control.stopServers().ok());
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
    QVERIFY(control.openUrl(url).ok());
    QFile log(bin + QStringLiteral("/xdg-open.log"));
    QVERIFY(QTest::qWaitFor([&log] { return log.exists() && log.size() > 0; }, 5000));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), url.toUtf8() + '\n');
}

void TestServerControl::missingOpenerIsReported()
{
    qputenv("PATH", QFile::encodeName(path(QStringLiteral("empty"))));
    PosixServerControl control({path(QStringLiteral("empty")), 1s});
    const Result opened = control.openUrl(QStringLiteral("http://127.0.0.1:1"));
    QVERIFY(!opened.ok());
    QVERIFY2(opened.errorMessage().contains(QStringLiteral("xdg-open")), qPrintable(opened.errorMessage()));
    QVERIFY(opened.errorMessage().contains(QStringLiteral("http://127.0.0.1:1")));
}

QTEST_GUILESS_MAIN(TestServerControl)
#include "tst_servercontrol.moc"
