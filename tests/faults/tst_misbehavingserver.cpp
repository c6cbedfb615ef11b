// The real window against server programs that misbehave: one that ends at
// once, one that ignores SIGTERM, files that cannot be started at all, and a
// browser opener (xdg-open) that fails.
// Whatever the server does, the window must stay usable and nothing the test
// started may be left running. In a network namespace of the test's own.
#include "processes.h"
#include "testfiles.h"

#include "form1.h"
#include "localaddress.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace testprocesses;
using namespace testfiles;
using namespace std::chrono_literals;

class TestMisbehavingServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void serverEndingAtOnce();
    void serverIgnoringTermRestartedAtOnce();
    void programThatCannotStart_data();
    void programThatCannotStart();
    void serverStateReportsOpener_data();
    void serverStateReportsOpener();

private:
    template <typename T = QWidget> T *child(const char *name)
    {
        return m_form->findChild<T *>(QString::fromLatin1(name));
    }
    void click(const char *name) { QTest::mouseClick(child<QAbstractButton>(name), Qt::LeftButton); }
    QString status() { return child<QLabel>("Label4")->text(); }
    QString program() const { return m_bin + QStringLiteral("/orbelithsrv"); }
    // The program the window will find, as a link to one of the built servers.
    bool linkProgram(const char *builtDir);
    // With the stand-in in place, Start serves its page and Stop ends it.
    void startAndStopWork();

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_bin;
    QString m_previousDir;
    QByteArray m_previousPath;
    std::unique_ptr<Form1> m_form;
};

void TestMisbehavingServer::initTestCase()
{
    QCOMPARE(localIpAddress(), QStringLiteral("127.0.0.1"));
}

void TestMisbehavingServer::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    for (const char *sub : {"bin", "run", "empty"})
        QVERIFY(QDir(m_dir->path()).mkdir(QString::fromLatin1(sub)));
    m_bin = m_dir->filePath(QStringLiteral("bin"));
    // Only the program folder holds a server program.
    m_previousPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(m_dir->filePath(QStringLiteral("empty"))));
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->filePath(QStringLiteral("run"))));
    m_form =
        std::make_unique<Form1>(std::make_unique<PosixServerControl>(PosixServerControl::Options{m_bin, 1s}));
    m_form->Form_Load();
    m_form->show();
    const quint16 port = freeLoopbackPort();
    QVERIFY(port);
    child<QLineEdit>("Text1(4)")->setText(QString::number(port));
}

void TestMisbehavingServer::cleanup()
{
    m_form.reset();
    killServersIn(QDir::currentPath());
    qputenv("PATH", m_previousPath);
    QDir::setCurrent(m_previousDir);
    m_dir.reset();
}

bool TestMisbehavingServer::linkProgram(const char *builtDir)
{
    QFile::remove(program());
    return QFile::link(QFile::decodeName(builtDir) + QStringLiteral("/orbelithsrv"), program());
}

void TestMisbehavingServer::startAndStopWork()
{
    QVERIFY(linkProgram(STANDIN_DIR));
    click("Command1");
    QCOMPARE(status(), QStringLiteral("Orbelith Server started...."));
    const quint16 port = child<QLineEdit>("Text1(4)")->text().toUShort();
    QVERIFY(QTest::qWaitFor(
        [port] {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            return socket.waitForConnected(1000);
        },
        10000));
    QCOMPARE(serversIn(QDir::currentPath()).size(), size_t(1));
    click("command2");
    QTRY_COMPARE(status(), QStringLiteral("Orbelith Server stopped"));
    QVERIFY(child<QAbstractButton>("Command1")->isEnabled());
    QVERIFY(waitForServersGone(QDir::currentPath()));
    QTRY_COMPARE(zombieChildren(), QStringList());
}

void TestMisbehavingServer::serverEndingAtOnce()
{
    QVERIFY(linkProgram(QUITTING_DIR));
    click("Command1");
    // A server that gives up at once is no longer "started....": the window
    // says how it ended and its last words, and Start works again.
    QTRY_COMPARE(status(),
                 QStringLiteral("Orbelith Server exited with code 3: bind 127.0.0.1:27888: Address in use"));
    QVERIFY(QFile::exists(QStringLiteral("quitting.ran")));
    QVERIFY(!m_form->isServerRunning());
    QVERIFY(child<QAbstractButton>("Command1")->isEnabled());
    QVERIFY(!child<QAbstractButton>("command2")->isEnabled());
    QVERIFY(!child<QAbstractButton>("Command5")->isEnabled());
    QCOMPARE(zombieChildren(), QStringList());
    startAndStopWork();
}

void TestMisbehavingServer::serverIgnoringTermRestartedAtOnce()
{
    QVERIFY(linkProgram(STUBBORN_DIR));
    const auto ready = [] {
        return QFile::exists(QStringLiteral("stubborn.ready"));
    };
    click("Command1");
    QVERIFY(QTest::qWaitFor(ready, 5000));
    const std::set<pid_t> first = serversIn(QDir::currentPath());
    QCOMPARE(first.size(), size_t(1));

    // Until the server is gone the window says it is stopping, and Start
    // cannot launch a second server beside it.
    click("command2");
    QCOMPARE(status(), QStringLiteral("Stopping Orbelith Server..."));
    QVERIFY(QFile::remove(QStringLiteral("stubborn.ready")));
    click("Command1");
    QCOMPARE(status(), QStringLiteral("Stopping Orbelith Server..."));
    QCOMPARE(serversIn(QDir::currentPath()), first);
    QCOMPARE(m_form->session().state(), ServerSession::State::Stopping);

    // Stopped once the kill after the grace period has ended it, not before.
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Orbelith Server stopped"), 10000);
    QVERIFY(serversIn(QDir::currentPath()).empty());
    QVERIFY(!QFile::exists(QStringLiteral("stubborn.ready")));
    QTRY_COMPARE(zombieChildren(), QStringList());

    click("Command1");
    QCOMPARE(status(), QStringLiteral("Orbelith Server started...."));
    QVERIFY(QTest::qWaitFor(ready, 5000));
    QCOMPARE(serversIn(QDir::currentPath()).size(), size_t(1));
    click("command2");
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Orbelith Server stopped"), 10000);
    QVERIFY(serversIn(QDir::currentPath()).empty());
    startAndStopWork();
}

void TestMisbehavingServer::programThatCannotStart_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("executable");
    QTest::addColumn<QString>("reason");

    QFile standin(QStringLiteral(STANDIN_DIR "/orbelithsrv"));
    QVERIFY(standin.open(QIODevice::ReadOnly));
    QTest::newRow("no execute permission") << standin.readAll() << false << QStringLiteral("not executable");
    QTest::newRow("not a program") << QByteArray("\x7f"
                                                 "ELF garbage\n\0\1\2",
                                                 16)
                                   << true << QStringLiteral("Exec format error");
    // The file is there: what is missing is what it asks to be run by.
    QTest::newRow("interpreter missing")
        << QByteArray("#!/nonexistent/interpreter\n") << true
        << QStringLiteral(": its interpreter /nonexistent/interpreter was not found.");
    QTest::newRow("interpreter missing, after a blank and before an argument")
        << QByteArray("#! /nonexistent/interpreter -x\nexit 0\n") << true
        << QStringLiteral(": its interpreter /nonexistent/interpreter was not found.");
    QTest::newRow("Windows line ends")
        << QByteArray("#!/bin/sh\r\nexit 0\r\n") << true
        << QStringLiteral(": its interpreter /bin/sh was not found: its #! line "
                          "ends in a carriage return (Windows line ends).");
}

void TestMisbehavingServer::programThatCannotStart()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, executable);
    QFETCH(QString, reason);

    QFile file(program());
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), content.size());
    file.close();
    const auto readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    QVERIFY(file.setPermissions(executable ? readable | QFile::ExeOwner : readable));

    click("Command1");
    QVERIFY2(status().contains(program()), qPrintable(status()));
    QVERIFY2(status().contains(reason, Qt::CaseInsensitive), qPrintable(status()));
    QVERIFY(!m_form->isServerRunning());
    QVERIFY(child<QAbstractButton>("Command1")->isEnabled());
    QVERIFY(!child<QAbstractButton>("command2")->isEnabled());
    QVERIFY(serversIn(QDir::currentPath()).empty());
    QTRY_COMPARE(zombieChildren(), QStringList());
    startAndStopWork();
}

void TestMisbehavingServer::serverStateReportsOpener_data()
{
    QTest::addColumn<QByteArray>("ending");
    QTest::addColumn<QString>("expected");

    // How the opener ends (none: there is no xdg-open), and the status then,
    // with %1 for the address.
    QTest::newRow("no browser") << QByteArray("exit 3")
                                << "Could not open %1: xdg-open found no program to open it (exit status 3).";
    QTest::newRow("other failure") << QByteArray("exit 1")
                                   << "Could not open %1: xdg-open failed (exit status 1).";
    QTest::newRow("killed") << QByteArray("kill -KILL $$")
                            << "Could not open %1: xdg-open was ended by signal 9 (Killed).";
    QTest::newRow("opened") << QByteArray("exit 0") << "Orbelith Server started....";
    QTest::newRow("no opener") << QByteArray()
                               << "Could not open %1: no web browser opener (xdg-open) could be started.";
}

void TestMisbehavingServer::serverStateReportsOpener()
{
    QFETCH(QByteArray, ending);
    QFETCH(QString, expected);

    // The opener holds on until released, so that the window is seen not to
    // wait for it.
    const QString opener = m_dir->filePath(QStringLiteral("opener"));
    QVERIFY(QDir().mkdir(opener));
    const QString xdgOpen = opener + QStringLiteral("/xdg-open");
    if (!ending.isEmpty()) {
        QVERIFY(writeExecutable(xdgOpen, "#!/bin/sh\necho $$ > \"$0.pid\"\ni=0\n"
                                         "while [ ! -e \"$0.release\" ] && [ $i -lt 400 ]; do\n"
                                         "    /bin/sleep 0.05; i=$((i + 1))\ndone\n" +
                                             ending + "\n"));
    }
    qputenv("PATH", QFile::encodeName(opener));
    // The program's own control, as the shipped window makes it: it finds
    // the stand-in beside this program.
    m_form = std::make_unique<Form1>();
    m_form->Form_Load();
    m_form->show();
    child<QLineEdit>("Text1(4)")->setText(QString::number(freeLoopbackPort()));
    click("Command1");
    QCOMPARE(status(), QStringLiteral("Orbelith Server started...."));
    const QString url = QStringLiteral("http://127.0.0.1:") + child<QLineEdit>("Text1(4)")->text();

    click("Command5");
    if (!ending.isEmpty()) {
        QTRY_VERIFY(QFile::exists(xdgOpen + QStringLiteral(".pid")));
        const pid_t pid = readFile(xdgOpen + QStringLiteral(".pid")).trimmed().toInt();
        QVERIFY(pid > 0);
        // Server State came back while the opener runs, and the window goes on.
        QCOMPARE(::kill(pid, 0), 0);
        QVERIFY(zombieChildren().isEmpty());
        QCOMPARE(status(), QStringLiteral("Orbelith Server started...."));
        QVERIFY(writeFile(xdgOpen + QStringLiteral(".release"), {}));
        // Gone once reaped, and the status is set as it is reaped.
        QTRY_VERIFY(::kill(pid, 0) != 0);
    }
    QCOMPARE(status(), expected.arg(url));
    QVERIFY(m_form->isServerRunning());
    QCOMPARE(zombieChildren(), QStringList());
    click("command2");
    QTRY_COMPARE(status(), QStringLiteral("Orbelith Server stopped"));
}

QTEST_MAIN(TestMisbehavingServer)
#include "tst_misbehavingserver.moc"
