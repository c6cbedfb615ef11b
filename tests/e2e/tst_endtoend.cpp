// The real window against the real stand-in server, in a network namespace of
// the test's own where the local IP address is 127.0.0.1.
#include "processes.h"

#include "configfiles.h"
#include "form1.h"
#include "localaddress.h"
#include "startup.h"
#include "testfiles.h"

#include <QAbstractButton>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace testprocesses;
using namespace std::chrono_literals;

using namespace testfiles;

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startServesTheWindowsValues();
    void serverStateOpensTheServersPage();
    void startStopStartReplacesBothFiles();
    void unwritableFileKeepsStopped();
    void missingServerProgramKeepsStopped();
    void stopKillsServerIgnoringTerm();
    void loadAdoptsRunningServer();
    void startedProgramAdoptsAfterFirstPaint();
    void logInTheWayIsReported();
    // Last: once the application's loop has ended, QEventLoop returns at once.
    void exitWhileRunningLeavesNoServer();
    void closeWhileRunningLeavesNoServer();
    void terminationSignalEndsLikeExit_data();
    void terminationSignalEndsLikeExit();

private:
    template <typename T = QWidget> T *child(Form1 &form, const char *name)
    {
        return form.findChild<T *>(QString::fromLatin1(name));
    }
    void click(Form1 &form, const char *name)
    {
        QTest::mouseClick(child<QAbstractButton>(form, name), Qt::LeftButton);
    }
    QByteArray get(const QString &url, int *status = nullptr);
    QByteArray waitForPage(const QString &url);
    // Runs the application's own event loop until the program ends itself.
    bool programEndsAfter(const std::function<void()> &action);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_bin;
    QString m_previousDir;
    QByteArray m_previousPath;
    QNetworkAccessManager m_http;
    quint16 m_port = 0;
};

void TestEndToEnd::initTestCase()
{
    // Only loopback is up here, so nothing can leave the machine.
    QCOMPARE(localIpAddress(), QStringLiteral("127.0.0.1"));
    m_http.setProxy(QNetworkProxy::NoProxy);
}

void TestEndToEnd::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("bin")));
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("run")));
    m_bin = m_dir->filePath(QStringLiteral("bin"));
    QVERIFY(writeRecordingOpener(m_bin));
    m_previousPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(m_bin) + ':' + m_previousPath);
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->filePath(QStringLiteral("run"))));
    m_port = freeLoopbackPort();
    QVERIFY(m_port);
}

void TestEndToEnd::cleanup()
{
    killServersIn(QDir::currentPath());
    qputenv("PATH", m_previousPath);
    QDir::setCurrent(m_previousDir);
    m_dir.reset();
}

QByteArray TestEndToEnd::get(const QString &url, int *status)
{
    QNetworkRequest request{QUrl(url)};
    request.setTransferTimeout(3000);
    std::unique_ptr<QNetworkReply> reply(m_http.get(request));
    QEventLoop loop;
    connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    if (status)
        *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
}

QByteArray TestEndToEnd::waitForPage(const QString &url)
{
    QByteArray page;
    (void)QTest::qWaitFor(
        [&] {
            page = get(url);
            return !page.isEmpty();
        },
        10000);
    return page;
}

bool TestEndToEnd::programEndsAfter(const std::function<void()> &action)
{
    QTimer::singleShot(0, action);
    QTimer::singleShot(10000, [] { QCoreApplication::exit(1); });
    return QCoreApplication::exec() == 0;
}

void TestEndToEnd::startServesTheWindowsValues()
{
    Form1 form;
    form.Form_Load();
    QCOMPARE(child<QLineEdit>(form, "Text1(5)")->text(), QStringLiteral("127.0.0.1"));
    child<QLineEdit>(form, "Text1(0)")->setText(QStringLiteral("<End & End>"));
    child<QLineEdit>(form, "Text1(4)")->setText(QString::number(m_port));
    child<QPlainTextEdit>(form, "Text2")->setPlainText(QStringLiteral("first\n\nthird"));
    click(form, "Command1");
    QCOMPARE(child<QLabel>(form, "Label4")->text(), QStringLiteral("Orbelith Server started...."));

    const ServerSettings settings = form.settingsFromControls();
    QCOMPARE(readFile(kServerConfigFileName), WriteServerConfig(settings));
    QCOMPARE(readFile(kLastSettingsFileName), WriteLastSettings(settings));
    QVERIFY(readFile(kServerConfigFileName).contains("\r\nIP=127.0.0.1\r\n"));

    const QByteArray json = waitForPage(QStringLiteral("http://127.0.0.1:%1/status.json").arg(m_port));
    const QJsonObject status = QJsonDocument::fromJson(json).object();
    QCOMPARE(status.value(QStringLiteral("ServerName")).toString(), QStringLiteral("<End & End>"));
    QCOMPARE(status.value(QStringLiteral("Port")).toString(), QString::number(m_port));
    QCOMPARE(status.value(QStringLiteral("IP")).toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(status.value(QStringLiteral("MotdLines")).toArray(),
             (QJsonArray{QStringLiteral("first"), QString(), QStringLiteral("third")}));

    click(form, "command2");
    QTRY_COMPARE(child<QLabel>(form, "Label4")->text(), QStringLiteral("Orbelith Server stopped"));
    QVERIFY(child<QAbstractButton>(form, "Command1")->isEnabled());
    QVERIFY(!child<QAbstractButton>(form, "command2")->isEnabled());
    QVERIFY(!child<QAbstractButton>(form, "Command5")->isEnabled());
    QVERIFY(waitForServersGone(QDir::currentPath()));
    QTRY_COMPARE(zombieChildren(), QStringList());
}

void TestEndToEnd::serverStateOpensTheServersPage()
{
    Form1 form;
    form.Form_Load();
    child<QLineEdit>(form, "Text1(0)")->setText(QStringLiteral("Stateful"));
    child<QLineEdit>(form, "Text1(4)")->setText(QString::number(m_port));
    click(form, "Command1");
    QVERIFY(!waitForPage(QStringLiteral("http://127.0.0.1:%1/").arg(m_port)).isEmpty());

    click(form, "Command5");
    QFile log(m_bin + QStringLiteral("/xdg-open.log"));
    QVERIFY(QTest::qWaitFor([&log] { return log.exists() && log.size() > 0; }, 5000));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QString opened = QString::fromUtf8(log.readAll()).trimmed();
    QCOMPARE(opened, QStringLiteral("http://127.0.0.1:%1").arg(m_port));
    QVERIFY(get(opened).contains("Stateful"));
    click(form, "command2");
    QTRY_COMPARE(child<QLabel>(form, "Label4")->text(), QStringLiteral("Orbelith Server stopped"));
    QVERIFY(waitForServersGone(QDir::currentPath()));
}

void TestEndToEnd::startStopStartReplacesBothFiles()
{
    Form1 form;
    form.Form_Load();
    child<QLineEdit>(form, "Text1(4)")->setText(QString::number(m_port));
    child<QPlainTextEdit>(form, "Text2")->setPlainText(QString(500, u'x') + QStringLiteral("\nmore\nlines"));
    click(form, "Command1");
    QVERIFY(!waitForPage(QStringLiteral("http://127.0.0.1:%1/").arg(m_port)).isEmpty());
    click(form, "command2");
    QTRY_COMPARE(child<QLabel>(form, "Label4")->text(), QStringLiteral("Orbelith Server stopped"));
    QVERIFY(waitForServersGone(QDir::currentPath()));

    child<QLineEdit>(form, "Text1(0)")->setText(QStringLiteral("Second"));
    child<QPlainTextEdit>(form, "Text2")->setPlainText(QStringLiteral("short"));
    click(form, "Command1");
    const ServerSettings settings = form.settingsFromControls();
    QCOMPARE(readFile(kServerConfigFileName), WriteServerConfig(settings));
    QCOMPARE(readFile(kLastSettingsFileName), WriteLastSettings(settings));
    const QByteArray json = waitForPage(QStringLiteral("http://127.0.0.1:%1/status.json").arg(m_port));
    QCOMPARE(QJsonDocument::fromJson(json).object().value(QStringLiteral("ServerName")).toString(),
             QStringLiteral("Second"));
    click(form, "command2");
    QTRY_COMPARE(child<QLabel>(form, "Label4")->text(), QStringLiteral("Orbelith Server stopped"));
    QVERIFY(waitForServersGone(QDir::currentPath()));
}

void TestEndToEnd::unwritableFileKeepsStopped()
{
    QVERIFY(QDir().mkdir(kServerConfigFileName));
    Form1 form;
    form.Form_Load();
    click(form, "Command1");
    const QString status = child<QLabel>(form, "Label4")->text();
    QVERIFY2(status.startsWith(QStringLiteral("Could not write orbelithsrv.conf: ")), qPrintable(status));
    QVERIFY(!form.isServerRunning());
    QVERIFY(child<QAbstractButton>(form, "Command1")->isEnabled());
    QVERIFY(!QFile::exists(kLastSettingsFileName));
    QTest::qWait(300);
    QVERIFY(serversIn(QDir::currentPath()).empty());
}

void TestEndToEnd::missingServerProgramKeepsStopped()
{
    const QString empty = m_dir->filePath(QStringLiteral("bin"));
    qputenv("PATH", QFile::encodeName(empty));
    Form1 form(std::make_unique<PosixServerControl>(PosixServerControl::Options{empty, 1s}));
    form.Form_Load();
    click(form, "Command1");
    const QString status = child<QLabel>(form, "Label4")->text();
    QVERIFY2(status.contains(QStringLiteral("not found")), qPrintable(status));
    QVERIFY2(status.contains(empty) && status.contains(QDir::currentPath()) &&
                 status.contains(QStringLiteral("PATH")),
             qPrintable(status));
    QVERIFY(QFile::exists(kServerConfigFileName));
    QVERIFY(QFile::exists(kLastSettingsFileName));
    QVERIFY(!form.isServerRunning());
    QVERIFY(child<QAbstractButton>(form, "Command1")->isEnabled());
    QVERIFY(!child<QAbstractButton>(form, "command2")->isEnabled());
    QVERIFY(serversIn(QDir::currentPath()).empty());
}

void TestEndToEnd::stopKillsServerIgnoringTerm()
{
    Form1 form(
        std::make_unique<PosixServerControl>(PosixServerControl::Options{QStringLiteral(STUBBORN_DIR), 1s}));
    form.Form_Load();
    click(form, "Command1");
    QVERIFY(QTest::qWaitFor([] { return QFile::exists(QStringLiteral("stubborn.ready")); }, 5000));
    const std::set<pid_t> running = serversIn(QDir::currentPath());
    QCOMPARE(running.size(), size_t(1));

    click(form, "command2");
    // Stopped only once the kill after the grace period has ended it.
    QCOMPARE(child<QLabel>(form, "Label4")->text(), QStringLiteral("Stopping Orbelith Server..."));
    QVERIFY(!child<QAbstractButton>(form, "Command1")->isEnabled());
    QCOMPARE(serversIn(QDir::currentPath()), running);
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(form, "Label4")->text(),
                              QStringLiteral("Orbelith Server stopped"), 10000);
    QVERIFY(serversIn(QDir::currentPath()).empty());
    QVERIFY(child<QAbstractButton>(form, "Command1")->isEnabled());
    QTRY_COMPARE(zombieChildren(), QStringList());
}

void TestEndToEnd::exitWhileRunningLeavesNoServer()
{
    Form1 form;
    form.Form_Load();
    child<QLineEdit>(form, "Text1(4)")->setText(QString::number(m_port));
    form.show();
    click(form, "Command1");
    QVERIFY(!waitForPage(QStringLiteral("http://127.0.0.1:%1/").arg(m_port)).isEmpty());

    QVERIFY(programEndsAfter([&] { click(form, "command4"); }));
    QVERIFY(waitForServersGone(QDir::currentPath()));
}

void TestEndToEnd::closeWhileRunningLeavesNoServer()
{
    auto form = std::make_unique<Form1>(
        std::make_unique<PosixServerControl>(PosixServerControl::Options{QStringLiteral(STUBBORN_DIR), 1s}));
    form->Form_Load();
    form->show();
    click(*form, "Command1");
    QVERIFY(QTest::qWaitFor([] { return QFile::exists(QStringLiteral("stubborn.ready")); }, 5000));

    // Even a server that ignores SIGTERM is gone after the front-end itself.
    QVERIFY(programEndsAfter([&] { form->close(); }));
    form.reset();
    QVERIFY(waitForServersGone(QDir::currentPath()));
    QTRY_COMPARE(zombieChildren(), QStringList());
}

void TestEndToEnd::loadAdoptsRunningServer()
{
    // A server left running in this folder, by an earlier window or by hand.
    const pid_t left = startIn(QDir::currentPath(), {QStringLiteral(STUBBORN_DIR "/orbelithsrv")});
    QVERIFY(QTest::qWaitFor([] { return QFile::exists(QStringLiteral("stubborn.ready")); }, 5000));
    Form1 form;
    form.Form_Load();
    // The search may finish just after Form_Load, while the window shows.
    QTRY_COMPARE(child<QLabel>(form, "Label4")->text(),
                 QStringLiteral("Orbelith Server is already running (PID %1)").arg(left));
    QVERIFY(form.isServerRunning());
    QVERIFY(!child<QAbstractButton>(form, "Command1")->isEnabled());
    QVERIFY(child<QAbstractButton>(form, "command2")->isEnabled());
    QVERIFY(child<QAbstractButton>(form, "Command5")->isEnabled());

    // Watched as if launched here: its end is seen, though not its status.
    QCOMPARE(::kill(left, SIGKILL), 0);
    QCOMPARE(::waitpid(left, nullptr, 0), left);
    QTRY_COMPARE(child<QLabel>(form, "Label4")->text(), QStringLiteral("Orbelith Server ended"));
    QVERIFY(!form.isServerRunning());
    QVERIFY(child<QAbstractButton>(form, "Command1")->isEnabled());
}

// Label4's text when a window is first painted.
class FirstPaintStatus final : public QObject
{
public:
    FirstPaintStatus() { qApp->installEventFilter(this); }
    std::optional<QString> text;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *window = qobject_cast<Form1 *>(watched);
        if (!text && window && event->type() == QEvent::Paint)
            text = window->findChild<QLabel *>(QStringLiteral("Label4"))->text();
        return false;
    }
};

void TestEndToEnd::startedProgramAdoptsAfterFirstPaint()
{
    const pid_t left = startIn(QDir::currentPath(), {QStringLiteral(STUBBORN_DIR "/orbelithsrv")});
    QVERIFY(QTest::qWaitFor([] { return QFile::exists(QStringLiteral("stubborn.ready")); }, 5000));
    const FirstPaintStatus firstPaint;
    // The program's own start-up, with the platform's own control.
    const std::unique_ptr<Form1> window = startMainWindow(*qobject_cast<QApplication *>(qApp));
    QTRY_COMPARE(window->findChild<QLabel *>(QStringLiteral("Label4"))->text(),
                 QStringLiteral("Orbelith Server is already running (PID %1)").arg(left));
    // The window showed before the search through every process began.
    QCOMPARE(firstPaint.text, std::optional<QString>(QString()));
    QVERIFY(window->isServerRunning());

    QCOMPARE(::kill(left, SIGKILL), 0);
    QCOMPARE(::waitpid(left, nullptr, 0), left);
    QTRY_COMPARE(window->findChild<QLabel *>(QStringLiteral("Label4"))->text(),
                 QStringLiteral("Orbelith Server ended"));
}

void TestEndToEnd::logInTheWayIsReported()
{
    QVERIFY(QDir().mkdir(QStringLiteral("orbelith-gui-server.log")));
    Form1 form;
    form.Form_Load();
    child<QLineEdit>(form, "Text1(4)")->setText(QString::number(m_port));
    click(form, "Command1");
    QCOMPARE(child<QLabel>(form, "Label4")->text(),
             QStringLiteral("Orbelith Server started.... (no log: Is a directory)"));
    QVERIFY2(!waitForPage(QStringLiteral("http://127.0.0.1:%1/").arg(m_port)).isEmpty(),
             qPrintable(child<QLabel>(form, "Label4")->text()));
    click(form, "command2");
    QTRY_COMPARE(child<QLabel>(form, "Label4")->text(), QStringLiteral("Orbelith Server stopped"));
    QVERIFY(serversIn(QDir::currentPath()).empty());
}

void TestEndToEnd::terminationSignalEndsLikeExit_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGHUP, the terminal closed") << int(SIGHUP);
    QTest::newRow("SIGINT, Ctrl+C") << int(SIGINT);
}

void TestEndToEnd::terminationSignalEndsLikeExit()
{
    QFETCH(int, signal);
    // The shipped program, with a server of this folder that it takes over.
    const pid_t server = startIn(QDir::currentPath(), {QStringLiteral(STUBBORN_DIR "/orbelithsrv")});
    QVERIFY(QTest::qWaitFor([] { return QFile::exists(QStringLiteral("stubborn.ready")); }, 5000));
    const pid_t gui = startIn(QDir::currentPath(), {QStringLiteral(GUI_PROGRAM)}, QStringLiteral("gui.out"));
    QVERIFY(gui > 0);
    QVERIFY(QTest::qWaitFor([gui, signal] { return catchesSignal(gui, signal); }, 10000));
    QCOMPARE(::kill(gui, signal), 0);
    int status = -1;
    QVERIFY(QTest::qWaitFor([&] { return ::waitpid(gui, &status, WNOHANG) == gui; }, 10000));
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, readFile(QStringLiteral("gui.out")).constData());
    // As Exit: a server the window only took over keeps running.
    QCOMPARE(::waitpid(server, nullptr, WNOHANG), 0);
    QCOMPARE(::kill(server, SIGKILL), 0);
    QCOMPARE(::waitpid(server, nullptr, 0), server);
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
