// Minimize-to-tray where the tray is a StatusNotifierItem host over D-Bus, as
// on KDE Plasma and GNOME with the AppIndicator extension: Xvfb and icewm
// without an XEmbed tray, a session bus of the test's own and a panel in
// Python (sni-panel.py) that owns the watcher and acts as its host, and the
// desktop's notification service.

#include "configfiles.h"
#include "form1.h"
#include "logline.h"
#include "processes.h"
#include "programicon.h"
#include "startup.h"
#include "trayicon.h"
#include "xdesktop.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int kNormalState = 1;
constexpr int kIconicState = 3;
constexpr int kSkipped = 77;

// An icon image as the item sends it: ARGB32, in network byte order.
QImage imageFromHex(int width, int height, const QString &hex)
{
    const QByteArray data = QByteArray::fromHex(hex.toLatin1());
    if (data.size() != qsizetype(width) * height * 4)
        return QImage();
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const auto *p = reinterpret_cast<const uchar *>(data.constData()) + 4 * (y * width + x);
            image.setPixel(x, y, qRgba(p[1], p[2], p[3], p[0]));
        }
    }
    return image;
}

} // namespace

class TestStatusNotifier final : public QObject
{
    Q_OBJECT

public:
    TestStatusNotifier(XDesktop &desktop, QApplication &app) : m_desktop(desktop), m_app(app) {}

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void minimizeRegistersOneItem();
    void activateRestores();
    void otherCallsDoNothing_data();
    void otherCallsDoNothing();
    void secondQueuedActivateDoesNothing();
    void serverEndingInTrayIsNotifiedOnce();
    // Last: the panel does not come back.
    void panelGoneLeavesWindowOnTaskbar();

private:
    // Lines the panel printed so far.
    QStringList panel()
    {
        m_output += QString::fromUtf8(m_panel.readAllStandardOutput());
        return m_output.split(u'\n', Qt::SkipEmptyParts);
    }
    int linesStartingWith(const QString &prefix)
    {
        const QStringList lines = panel();
        return int(std::count_if(lines.cbegin(), lines.cend(),
                                 [&prefix](const QString &l) { return l.startsWith(prefix); }));
    }
    int items() { return linesStartingWith(u"registered "_s) - linesStartingWith(u"unregistered "_s); }
    void tell(const QByteArray &command) { m_panel.write(command + '\n'); }

    bool takesEvents() { return ::takesEvents(m_form.get()); }
    TrayIcon *trayIcon() const { return m_form->findChild<TrayIcon *>(); }
    QSystemTrayIcon *systemTrayIcon() const { return m_form->findChild<QSystemTrayIcon *>(); }

    void putInTray();
    void verifyRestored();

    XDesktop &m_desktop;
    int m_activationsBefore = 0;
    QApplication &m_app;
    QProcess m_panel;
    QString m_output;
    std::unique_ptr<Form1> m_form;
};

void TestStatusNotifier::initTestCase()
{
    // Qt asks for the watcher once, with the first tray icon: it must be there first.
    m_panel.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_panel.start(QStringLiteral(ORBELITH_SYSTEM_PYTHON), {QStringLiteral(ORBELITH_SNI_PANEL)});
    QTRY_VERIFY2(panel().contains(u"ready"_s), qPrintable(m_output));
    QVERIFY(QSystemTrayIcon::isSystemTrayAvailable());
}

void TestStatusNotifier::init()
{
    // The program's own start-up: its icon, the window centred and shown.
    m_form = startMainWindow(m_app);
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    QTRY_COMPARE(m_desktop.wmState(m_form->winId()), kNormalState);
    QTRY_VERIFY(m_form->isActiveWindow());
}

void TestStatusNotifier::cleanup()
{
    m_form.reset();
    QTRY_VERIFY(!QGuiApplication::focusWindow());
    if (m_panel.state() == QProcess::Running)
        QTRY_COMPARE(items(), 0);
}

void TestStatusNotifier::cleanupTestCase()
{
    m_panel.closeWriteChannel();
    if (!m_panel.waitForFinished(5000))
        m_panel.kill();
}

void TestStatusNotifier::putInTray()
{
    QVERIFY(xdotool({u"windowminimize"_s, QString::number(m_form->winId())}));
    QTRY_COMPARE(items(), 1);
    QTRY_VERIFY(!m_desktop.clientList().contains(m_form->winId()));
    QVERIFY(!m_form->isVisible());
    QTRY_VERIFY(!QGuiApplication::focusWindow());
    QVERIFY(!takesEvents());
    m_activationsBefore = m_desktop.activationRequests(m_form->winId());
}

void TestStatusNotifier::verifyRestored()
{
    QTRY_COMPARE(m_desktop.wmState(m_form->winId()), kNormalState);
    QTRY_VERIFY(m_desktop.isViewable(m_form->winId()));
    QVERIFY(m_form->isVisible());
    QCOMPARE(m_form->windowState(), Qt::WindowNoState);
    QTRY_VERIFY(m_desktop.clientList().contains(m_form->winId()));
    QTRY_COMPARE(items(), 0);
    // The program asked for the focus; the window manager may give it anyway.
    QTRY_VERIFY(m_desktop.activationRequests(m_form->winId()) > m_activationsBefore);
    QTRY_VERIFY(m_form->isActiveWindow());
    QVERIFY(takesEvents());
}

void TestStatusNotifier::minimizeRegistersOneItem()
{
    putInTray();
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(linesStartingWith(u"registered "_s), 1);
    tell("describe");
    QTRY_COMPARE(linesStartingWith(u"end"_s), 1);
    const QStringList lines = panel();
    QVERIFY2(lines.contains(u"title OrbelithServGUI"_s), qPrintable(lines.join(u'\n').left(2000)));
    QVERIFY(lines.contains(u"menu none"_s));

    // Every image the panel gets is the program's icon at that size.
    const QIcon icon = programIcon();
    int compared = 0;
    for (const QString &line : lines) {
        const QStringList fields = line.split(u' ');
        if (fields.size() != 4 || fields[0] != u"pixmap"_s)
            continue;
        const QSize size(fields[1].toInt(), fields[2].toInt());
        if (!icon.availableSizes().contains(size))
            continue;
        const QImage sent = imageFromHex(size.width(), size.height(), fields[3]);
        QCOMPARE(sent, icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32));
        ++compared;
    }
    QVERIFY(compared > 0);
}

void TestStatusNotifier::activateRestores()
{
    putInTray();
    if (QTest::currentTestFailed())
        return;
    const int replies = linesStartingWith(u"reply Activate "_s);
    tell("activate");
    QTRY_COMPARE(linesStartingWith(u"reply Activate "_s), replies + 1);
    verifyRestored();
}

void TestStatusNotifier::otherCallsDoNothing_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QSystemTrayIcon::ActivationReason>("reason");
    QTest::newRow("SecondaryActivate")
        << QByteArray("secondary") << u"SecondaryActivate"_s << QSystemTrayIcon::MiddleClick;
    QTest::newRow("ContextMenu") << QByteArray("context") << u"ContextMenu"_s << QSystemTrayIcon::Context;
}

void TestStatusNotifier::otherCallsDoNothing()
{
    QFETCH(QByteArray, command);
    QFETCH(QString, method);
    QFETCH(QSystemTrayIcon::ActivationReason, reason);
    putInTray();
    if (QTest::currentTestFailed())
        return;
    QSignalSpy activations(systemTrayIcon(), &QSystemTrayIcon::activated);
    QSignalSpy presses(trayIcon(), &TrayIcon::leftButtonPressed);
    tell(command);
    QTRY_COMPARE(activations.count(), 1);
    QCOMPARE(activations.first().first().value<QSystemTrayIcon::ActivationReason>(), reason);
    QTRY_COMPARE(linesStartingWith(u"reply "_s + method + u" ok"_s), 1);
    // The icon handles activations queued: let it.
    QCoreApplication::sendPostedEvents(trayIcon(), QEvent::MetaCall);
    QCOMPARE(presses.count(), 0);
    QVERIFY(!QApplication::activePopupWidget());
    QVERIFY(!m_form->isVisible());
    QCOMPARE(items(), 1);
    QVERIFY(!takesEvents());
}

void TestStatusNotifier::secondQueuedActivateDoesNothing()
{
    putInTray();
    if (QTest::currentTestFailed())
        return;
    QSignalSpy presses(trayIcon(), &TrayIcon::leftButtonPressed);
    const int replies = linesStartingWith(u"reply Activate "_s);
    tell("activate-twice");
    // The second call reaches the item before, or finds it gone after, the
    // first one's restore.
    QTRY_COMPARE(linesStartingWith(u"reply Activate "_s), replies + 2);
    verifyRestored();
    QCoreApplication::sendPostedEvents(trayIcon(), QEvent::MetaCall);
    QCOMPARE(presses.count(), 1);
    QVERIFY(m_form->isVisible());
    QCOMPARE(items(), 0);
}

void TestStatusNotifier::serverEndingInTrayIsNotifiedOnce()
{
    // The stand-in, beside the test, on 127.0.0.1 alone.
    m_form->findChild<QLineEdit *>(u"Text1(5)"_s)->setText(u"127.0.0.1"_s);
    m_form->findChild<QLineEdit *>(u"Text1(4)"_s)
        ->setText(QString::number(testprocesses::freeLoopbackPort()));
    const auto press = [this](const QString &name) {
        m_form->findChild<QAbstractButton *>(name)->click();
    };
    const auto status = [this] {
        return m_form->findChild<QLabel *>(u"Label4"_s)->text();
    };
    const auto server = [] {
        return testprocesses::serversIn(QDir::currentPath());
    };
    const auto cleanUp = qScopeGuard([&] {
        for (const pid_t pid : server())
            ::kill(pid, SIGKILL);
        QFile::remove(kServerConfigFileName);
        QFile::remove(kLastSettingsFileName);
    });
    // Once the search for a server already running here has answered.
    QTRY_VERIFY(m_form->findChild<QAbstractButton *>(u"Command1"_s)->isEnabled());
    press(u"Command1"_s);
    QTRY_COMPARE(server().size(), size_t(1));
    putInTray();
    if (QTest::currentTestFailed())
        return;

    // Ended by Stop (pressed here with the window in the tray): nothing to tell.
    press(u"command2"_s);
    QTRY_COMPARE(status(), u"Orbelith Server stopped"_s);
    QTRY_COMPARE(server().size(), size_t(0));
    press(u"Command1"_s);
    QTRY_COMPARE(server().size(), size_t(1));
    // A player's words as its last line: text, which the notification service must not take for markup.
    QFile log(kServerLogFileName);
    QVERIFY(log.open(QIODevice::Append) &&
            log.write("<b>Mallory</b> & <a href=\"file:///etc\">co</a>\n") > 0);
    log.close();
    ::kill(*server().begin(), SIGKILL);
    QTRY_COMPARE(
        status(),
        u"Orbelith Server was ended by signal 9 (Killed): <b>Mallory</b> & <a href=\"file:///etc\">co</a>"_s);
    // One notification, this one: one from Stop would have come first, over the same connection.
    QTRY_COMPARE(linesStartingWith(u"notify "_s), 1);
    const QString line = panel().filter(QRegularExpression(u"^notify "_s)).constFirst();
    const QJsonObject notification = QJsonDocument::fromJson(line.mid(7).toUtf8()).object();
    QCOMPARE(notification[u"summary"_s].toString(), u"OrbelithServer GUI"_s);
    QCOMPARE(notification[u"body"_s].toString(),
             u"Orbelith Server was ended by signal 9 (Killed): &lt;b&gt;Mallory&lt;/b&gt; &amp; "
             u"&lt;a href=\"file:///etc\"&gt;co&lt;/a&gt;"_s);
    QCOMPARE(items(), 1);
    QVERIFY(!m_form->isVisible());
    // Only a notification with a default action reports its click.
    QVERIFY(notification[u"actions"_s].toVariant().toStringList().contains(u"default"_s));

    tell("click-notification");
    verifyRestored();
}

void TestStatusNotifier::panelGoneLeavesWindowOnTaskbar()
{
    putInTray();
    if (QTest::currentTestFailed())
        return;
    m_panel.closeWriteChannel();
    QVERIFY(m_panel.waitForFinished(10000));

    // Not hidden for good: minimized, on the taskbar, and it answers.
    QTRY_COMPARE(m_desktop.wmState(m_form->winId()), kIconicState);
    QTRY_VERIFY(m_desktop.clientList().contains(m_form->winId()));
    QVERIFY(m_form->isVisible());
    QVERIFY(m_form->isMinimized());
    QVERIFY(!trayIcon()->isShown());
    QVERIFY(takesEvents());

    // Back from the taskbar; the next minimize, with no tray, stays there too.
    QVERIFY(xdotool({u"windowactivate"_s, u"--sync"_s, QString::number(m_form->winId())}));
    QTRY_COMPARE(m_desktop.wmState(m_form->winId()), kNormalState);
    QTRY_VERIFY(m_form->isActiveWindow());
    QVERIFY(xdotool({u"windowminimize"_s, QString::number(m_form->winId())}));
    QTRY_COMPARE(m_desktop.wmState(m_form->winId()), kIconicState);
    QTRY_VERIFY(m_form->isMinimized());
    QCoreApplication::sendPostedEvents(m_form.get(), QEvent::MetaCall);
    QVERIFY(m_form->isVisible());
    QVERIFY(m_desktop.clientList().contains(m_form->winId()));
    QVERIFY(!trayIcon()->isShown());
}

// Under LeakSanitizer: Qt D-Bus keeps the interface description it builds
// when Qt reads the watcher's properties, for the whole process.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libQt6DBus.so\n";
}

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
        std::fprintf(stderr, "SKIP: no session bus; run it under dbus-run-session\n");
        return kSkipped;
    }
    XDesktop desktop;
    if (const int status = desktop.startOrReport(XDesktop::Tray::Without))
        return status;
    // Start-up restores the last settings from the working directory: give it an empty one.
    QTemporaryDir work;
    if (!work.isValid() || !QDir::setCurrent(work.path()))
        return 1;

    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    TestStatusNotifier test(desktop, app);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_statusnotifier.moc"
