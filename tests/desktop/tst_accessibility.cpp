// The main window as a screen reader meets it: the AT-SPI bridge on a real X
// display, its accessibility bus, and a reader of its own that listens there.

#include "form1.h"
#include "recordingcontrol.h"
#include "xdesktop.h"

#include <QAccessible>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>

#include <cstdio>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int kSkipped = 77;

QList<std::pair<QObject *, QAccessible::Event>> recordedEvents;

void recordEvent(QAccessibleEvent *event)
{
    recordedEvents.append({event->object(), event->type()});
}

} // namespace

class TestAccessibility final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void statusLineChangeIsAnnounced();
    void screenReaderHearsStatusLine();

private:
    QLabel *statusLine() const { return m_form->findChild<QLabel *>(u"Label4"_s); }
    void click(const char *name)
    {
        auto *b = m_form->findChild<QPushButton *>(QLatin1String(name));
        QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(8, b->height() / 2));
    }

    RecordingControl::Log m_log;
    RecordingControl *m_control = nullptr;
    std::unique_ptr<Form1> m_form;
};

void TestAccessibility::initTestCase()
{
    // The bridge comes up once it has found the accessibility bus.
    QTRY_VERIFY(QAccessible::isActive());
}

void TestAccessibility::init()
{
    m_log = RecordingControl::Log{};
    auto control = std::make_unique<RecordingControl>(m_log);
    m_control = control.get();
    m_form = std::make_unique<Form1>(std::move(control));
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
}

void TestAccessibility::cleanup()
{
    m_form.reset();
}

void TestAccessibility::statusLineChangeIsAnnounced()
{
    recordedEvents.clear();
    const QAccessible::UpdateHandler previous = QAccessible::installUpdateHandler(recordEvent);
    const auto restore = qScopeGuard([previous] { QAccessible::installUpdateHandler(previous); });
    const std::pair<QObject *, QAccessible::Event> announcement{statusLine(), QAccessible::NameChanged};

    // A status bar in a frame, where a screen reader looks for one.
    QCOMPARE(QAccessible::queryAccessibleInterface(statusLine())->role(), QAccessible::StatusBar);
    QCOMPARE(QAccessible::queryAccessibleInterface(m_form.get())->role(), QAccessible::Window);
    click("Command1");
    QCOMPARE(statusLine()->text(), u"Orbelith Server started...."_s);
    QCOMPARE(recordedEvents.count(announcement), 1);
    QCOMPARE(QAccessible::queryAccessibleInterface(statusLine())->text(QAccessible::Name),
             statusLine()->text());
    click("command2");
    QCOMPARE(recordedEvents.count(announcement), 2);
}

void TestAccessibility::screenReaderHearsStatusLine()
{
    QProcess reader;
    reader.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    reader.start(QStringLiteral(ORBELITH_SYSTEM_PYTHON),
                 {QStringLiteral(ORBELITH_ATSPI_READER), QCoreApplication::applicationName()});
    const auto end = qScopeGuard([&reader] {
        reader.kill();
        reader.waitForFinished(5000);
    });
    QString heard;
    const auto listen = [&reader, &heard] {
        heard += QString::fromUtf8(reader.readAllStandardOutput());
        return heard;
    };
    QTRY_VERIFY2(listen().contains(u"ready\n"_s), qPrintable(heard));

    // The reader's wish to hear name changes reaches this program over the
    // bus on its own time: change the status line until the reader hears it.
    bool running = false;
    for (int round = 0; round < 20; ++round) {
        click(running ? "command2" : "Command1");
        if (running)
            m_control->finishStop();
        running = !running;
        if (QTest::qWaitFor([&] { return listen().contains(u"heard: "_s); }, 1000))
            break;
    }
    const QString expected = u"heard: "_s + statusLine()->text() + u'\n';
    QTRY_VERIFY2(listen().contains(expected), qPrintable(heard));
    QVERIFY2(!heard.contains(u"error: "_s), qPrintable(heard));
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
    // Qt's bridge waits for the accessibility bus to appear, and nothing else
    // here would start it.
    const QDBusMessage reply = QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
        u"org.a11y.Bus"_s, u"/org/a11y/bus"_s, u"org.a11y.Bus"_s, u"GetAddress"_s));
    if (reply.type() != QDBusMessage::ReplyMessage) {
        std::fprintf(stderr, "SKIP: no accessibility bus (at-spi2-core): %s\n",
                     qPrintable(reply.errorMessage()));
        return kSkipped;
    }

    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    QApplication app(argc, argv);
    TestAccessibility test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_accessibility.moc"
