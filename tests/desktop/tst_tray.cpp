// Minimizing to the tray and the About window on a real desktop: Xvfb, icewm
// and its XEmbed tray, driven from outside through xdotool.

#include "form1.h"
#include "form2.h"
#include "notificationtext.h"
#include "recordingcontrol.h"
#include "trayicon.h"
#include "xdesktop.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScreen>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QToolTip>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int kNormalState = 1;
constexpr int kIconicState = 3;

QString id(QWidget *w)
{
    return QString::number(w->winId());
}

QList<Form2 *> aboutWindows()
{
    QList<Form2 *> found;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *f = qobject_cast<Form2 *>(w))
            found.append(f);
    }
    return found;
}

// Counts the Escape presses that reach a widget.
class EscapeCounter final : public QObject
{
public:
    int count = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape)
            ++count;
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

// What both desktops share: a fresh main window per test, and the ways to
// reach the windows from outside.
class DesktopFixture : public QObject
{
    Q_OBJECT

public:
    explicit DesktopFixture(XDesktop &desktop) : m_desktop(desktop) {}

private slots:
    void init()
    {
        m_form = std::make_unique<Form1>();
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        QTRY_COMPARE(m_desktop.wmState(m_form->winId()), kNormalState);
    }

    void cleanup()
    {
        QToolTip::hideText();
        m_form.reset();
        xdotool({u"mousemove"_s, u"640"_s, u"300"_s});
        QTRY_VERIFY(aboutWindows().isEmpty());
        waitForFocusLoss();
    }

protected:
    // Qt's xcb plugin takes a lost focus in only 100 ms after the X server
    // reports it, in case a FocusIn follows. A step taken in that time sees
    // a window deactivate under it: a tool tip closes, or a window restored
    // meanwhile stays inactive. So every hide waits for it.
    static void waitForFocusLoss() { QTRY_VERIFY(!QGuiApplication::focusWindow()); }

    // The window has the focus, in the X server and in Qt.
    static void waitForFocus(QWidget *w)
    {
        QTRY_VERIFY(w->isActiveWindow());
        QTRY_COMPARE(QGuiApplication::focusWindow(), w->windowHandle());
    }

    void clickAbout()
    {
        auto *about = m_form->findChild<QPushButton *>(u"Command3"_s);
        QTest::mouseClick(about, Qt::LeftButton, {}, QPoint(8, about->height() / 2));
    }

    // Opens the About window and waits until it is on the screen.
    QPointer<Form2> openAbout()
    {
        clickAbout();
        const QList<Form2 *> windows = aboutWindows();
        if (windows.size() != 1)
            return nullptr;
        if (!QTest::qWaitForWindowExposed(windows.first()))
            return nullptr;
        return windows.first();
    }

    bool minimize() { return xdotool({u"windowminimize"_s, id(m_form.get())}); }

    // Qt's XEmbed tray icon is a small window of this program's class, named
    // after the program; the tray host reparents it into the taskbar and maps
    // it. Returns 0 when there is none.
    quintptr trayIconWindow() const
    {
        QString found;
        const QString cls = QLatin1Char('^') +
                            QRegularExpression::escape(QCoreApplication::applicationName()) +
                            QLatin1Char('$');
        if (!xdotool({u"search"_s, u"--onlyvisible"_s, u"--classname"_s, cls}, &found))
            return 0;
        QList<quintptr> known{m_form->winId()};
        for (Form2 *f : aboutWindows())
            known.append(f->winId());
        const int taskbarTop = QGuiApplication::primaryScreen()->availableGeometry().bottom();
        for (const QString &line : found.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const quintptr window = line.toULongLong();
            QString geometry;
            if (known.contains(window) || !xdotool({u"getwindowgeometry"_s, u"--shell"_s, line}, &geometry))
                continue;
            const QRegularExpressionMatch y = QRegularExpression(u"Y=(\\d+)"_s).match(geometry);
            if (y.hasMatch() && y.captured(1).toInt() > taskbarTop)
                return window;
        }
        return 0;
    }

    // Whether the main window handles what is sent to it, or sits in the tray
    // ignoring it.
    bool takesEvents() { return ::takesEvents(m_form.get()); }

    TrayIcon *trayIcon() const { return m_form->findChild<TrayIcon *>(); }
    QSystemTrayIcon *systemTrayIcon() const { return m_form->findChild<QSystemTrayIcon *>(); }

    // Minimizes through the window manager and waits for the icon.
    void putInTray()
    {
        QVERIFY(minimize());
        QTRY_VERIFY(trayIconWindow() != 0);
        QTRY_VERIFY(!m_desktop.clientList().contains(m_form->winId()));
        QVERIFY(!m_form->isVisible());
        QVERIFY(!takesEvents());
        waitForFocusLoss();
        m_activationsBefore = m_desktop.activationRequests(m_form->winId());
    }

    // Moves onto the icon and acts there. Successive calls alternate between
    // two points far enough apart that Qt never takes two presses from
    // different calls for a double click.
    bool onIcon(const QStringList &action)
    {
        const quintptr icon = trayIconWindow();
        const int at = (m_iconPresses++ % 2) ? 17 : 5;
        return icon && xdotool(QStringList{u"mousemove"_s, u"--window"_s, QString::number(icon),
                                           QString::number(at), QString::number(at)} +
                               action);
    }

    void verifyRestored()
    {
        QTRY_COMPARE(m_desktop.wmState(m_form->winId()), kNormalState);
        QTRY_VERIFY(m_desktop.isViewable(m_form->winId()));
        QVERIFY(m_form->isVisible());
        QCOMPARE(m_form->windowState(), Qt::WindowNoState);
        QTRY_VERIFY(m_desktop.clientList().contains(m_form->winId()));
        QTRY_COMPARE(trayIconWindow(), quintptr(0));
        QVERIFY(!trayIcon()->isShown());
        // Raised and activated: the program asked for the focus itself, as
        // desktops that give none to a window just mapped expect. The focus
        // also comes after the window manager's word that the window is back,
        // so Qt has taken that in too: a minimize sent earlier could pass Qt
        // by unseen.
        QTRY_VERIFY(m_desktop.activationRequests(m_form->winId()) > m_activationsBefore);
        waitForFocus(m_form.get());
    }

    XDesktop &m_desktop;
    std::unique_ptr<Form1> m_form;
    int m_iconPresses = 0;
    int m_activationsBefore = 0;
};

class TestTray final : public DesktopFixture
{
    Q_OBJECT

public:
    using DesktopFixture::DesktopFixture;

private slots:
    void initTestCase();

    void aboutOnTheDesktop();
    void closingAboutThenReopening_data();
    void closingAboutThenReopening();
    void escapeLeavesAboutOpen();

    void minimizeHidesBothAndShowsIcon();
    void hoverShowsToolTipOnly();
    void otherButtonsDoNothing_data();
    void otherButtonsDoNothing();
    void leftPressRestoresOnlyMainWindow();
    void doubleClickRestoresOnce();
    void queuedActivations_data();
    void queuedActivations();
    void minimizeAndRestoreRepeatedly();
    void hiddenAboutComesBack();

    void spaceAfterStartNeverReachesExit();
};

void TestTray::initTestCase()
{
    QVERIFY(m_desktop.trayHostPresent());
    QVERIFY(QSystemTrayIcon::isSystemTrayAvailable());
}

void TestTray::aboutOnTheDesktop()
{
    const QPointer<Form2> about = openAbout();
    QVERIFY(about);
    QTRY_COMPARE(about->geometry().center(), QGuiApplication::primaryScreen()->availableGeometry().center());
    QCOMPARE(about->size(), QSize(312, 226));
    // The caption as the window manager shows it, and what it lets the user do.
    QCOMPARE(m_desktop.windowName(about->winId()), u"\u5173\u4e8e"_s);
    const QStringList actions = m_desktop.allowedActions(about->winId());
    QVERIFY2(actions.contains(u"_NET_WM_ACTION_CLOSE"_s), qPrintable(actions.join(u' ')));
    for (const char *action :
         {"_NET_WM_ACTION_MINIMIZE", "_NET_WM_ACTION_MAXIMIZE_HORZ", "_NET_WM_ACTION_MAXIMIZE_VERT"})
        QVERIFY2(!actions.contains(QLatin1String(action)), action);
    // About again raises the same window.
    clickAbout();
    QCOMPARE(aboutWindows(), QList<Form2 *>{about.data()});
}

void TestTray::closingAboutThenReopening_data()
{
    QTest::addColumn<bool>("closeBox");
    QTest::newRow("OK") << false;
    QTest::newRow("close box") << true;
}

void TestTray::closingAboutThenReopening()
{
    QFETCH(bool, closeBox);
    QPointer<Form2> about = openAbout();
    QVERIFY(about);
    // Moved away by the user, so that reopening has to centre it again.
    QVERIFY(xdotool({u"windowmove"_s, id(about), u"40"_s, u"50"_s}));
    QTRY_VERIFY(about->geometry().x() < 100);
    QTRY_VERIFY(about->frameGeometry() != about->geometry());

    if (closeBox) {
        // The default theme draws the close box at the right end of the title bar.
        const QRect frame = about->frameGeometry();
        QVERIFY(xdotool({u"mousemove"_s, QString::number(frame.right() - 16),
                         QString::number(frame.top() + 15), u"click"_s, u"1"_s}));
    } else {
        auto *ok = about->findChild<QPushButton *>(u"Command1"_s);
        QVERIFY(xdotool({u"mousemove"_s, u"--window"_s, id(about), QString::number(ok->x() + 8),
                         QString::number(ok->geometry().center().y()), u"click"_s, u"1"_s}));
    }
    QTRY_VERIFY(about.isNull());

    about = openAbout();
    QVERIFY(about);
    QTRY_COMPARE(about->geometry().center(), QGuiApplication::primaryScreen()->availableGeometry().center());
}

void TestTray::escapeLeavesAboutOpen()
{
    const QPointer<Form2> about = openAbout();
    QVERIFY(about);
    QVERIFY(xdotool({u"windowactivate"_s, u"--sync"_s, id(about)}));
    waitForFocus(about);
    // The key goes to OK, the only control that takes the focus.
    EscapeCounter escapes;
    about->findChild<QPushButton *>(u"Command1"_s)->installEventFilter(&escapes);
    QVERIFY(xdotool({u"key"_s, u"Escape"_s}));
    QTRY_COMPARE(escapes.count, 1);
    QVERIFY(about);
    QVERIFY(about->isVisible());
    QVERIFY(m_desktop.isViewable(about->winId()));
}

void TestTray::minimizeHidesBothAndShowsIcon()
{
    const QPointer<Form2> about = openAbout();
    QVERIFY(about);
    const quintptr aboutWindow = about->winId();
    putInTray();
    if (QTest::currentTestFailed())
        return;
    QTRY_VERIFY(!m_desktop.isViewable(aboutWindow));
    QVERIFY(about);
    QVERIFY(!about->isVisible());
    QVERIFY(!m_desktop.clientList().contains(aboutWindow));
    QCOMPARE(systemTrayIcon()->toolTip(), u"OrbelithServGUI"_s);
    // The program's icon with every size, not the window's.
    QCOMPARE(systemTrayIcon()->icon().availableSizes().constLast(), QSize(256, 256));
    QVERIFY(!systemTrayIcon()->contextMenu());
    // Qt's own balloon shows a notification as plain text.
    QCOMPARE(notificationText(*systemTrayIcon(), u"<b>&"_s), u"<b>&"_s);
}

void TestTray::hoverShowsToolTipOnly()
{
    putInTray();
    if (QTest::currentTestFailed())
        return;
    QVERIFY(onIcon({u"mousemove_relative"_s, u"1"_s, u"1"_s}));
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), u"OrbelithServGUI"_s);
    QVERIFY(!m_form->isVisible());
    QVERIFY(trayIconWindow() != 0);
}

void TestTray::otherButtonsDoNothing_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<QSystemTrayIcon::ActivationReason>("reason");
    QTest::newRow("middle") << 2 << QSystemTrayIcon::MiddleClick;
    QTest::newRow("right") << 3 << QSystemTrayIcon::Context;
}

void TestTray::otherButtonsDoNothing()
{
    QFETCH(int, button);
    QFETCH(QSystemTrayIcon::ActivationReason, reason);
    putInTray();
    if (QTest::currentTestFailed())
        return;
    QSignalSpy activations(systemTrayIcon(), &QSystemTrayIcon::activated);
    QSignalSpy presses(trayIcon(), &TrayIcon::leftButtonPressed);
    QVERIFY(onIcon({u"click"_s, QString::number(button)}));
    QTRY_COMPARE(activations.count(), 1);
    QCOMPARE(activations.first().first().value<QSystemTrayIcon::ActivationReason>(), reason);
    // The icon handles presses queued: let it.
    QCoreApplication::sendPostedEvents(trayIcon(), QEvent::MetaCall);
    QCOMPARE(presses.count(), 0);
    QVERIFY(!QApplication::activePopupWidget());
    QVERIFY(!m_form->isVisible());
    QVERIFY(!m_desktop.clientList().contains(m_form->winId()));
    QVERIFY(trayIconWindow() != 0);
}

void TestTray::leftPressRestoresOnlyMainWindow()
{
    const QPointer<Form2> about = openAbout();
    QVERIFY(about);
    putInTray();
    if (QTest::currentTestFailed())
        return;
    // It comes back on the press, before the button is released.
    QVERIFY(onIcon({u"mousedown"_s, u"1"_s}));
    QTRY_VERIFY(m_form->isVisible());
    verifyRestored();
    QVERIFY(xdotool({u"mouseup"_s, u"1"_s}));
    QVERIFY(about);
    QVERIFY(!about->isVisible());
    QVERIFY(!m_desktop.isViewable(about->winId()));
    QVERIFY(takesEvents());
}

void TestTray::doubleClickRestoresOnce()
{
    putInTray();
    if (QTest::currentTestFailed())
        return;
    QSignalSpy activations(systemTrayIcon(), &QSystemTrayIcon::activated);
    QSignalSpy presses(trayIcon(), &TrayIcon::leftButtonPressed);
    // Both presses reach the icon before the program looks at either.
    QVERIFY(onIcon({u"click"_s, u"--repeat"_s, u"2"_s, u"--delay"_s, u"80"_s, u"1"_s}));
    QTRY_VERIFY(m_form->isVisible());
    const auto sawDoubleClick = [&activations] {
        return std::any_of(activations.cbegin(), activations.cend(), [](const QList<QVariant> &args) {
            return args.first().value<QSystemTrayIcon::ActivationReason>() == QSystemTrayIcon::DoubleClick;
        });
    };
    QTRY_VERIFY(sawDoubleClick());
    verifyRestored();
    QCOMPARE(presses.count(), 1);
}

void TestTray::queuedActivations_data()
{
    QTest::addColumn<QList<int>>("reasons");
    QTest::addColumn<int>("restores");
    // Two presses the program had no time to look at in between: the
    // second finds the icon gone.
    QTest::newRow("two presses") << QList<int>{QSystemTrayIcon::Trigger, QSystemTrayIcon::Trigger} << 1;
    QTest::newRow("double click alone") << QList<int>{QSystemTrayIcon::DoubleClick} << 0;
    QTest::newRow("unknown") << QList<int>{QSystemTrayIcon::Unknown} << 0;
}

void TestTray::queuedActivations()
{
    QFETCH(QList<int>, reasons);
    QFETCH(int, restores);
    putInTray();
    if (QTest::currentTestFailed())
        return;
    QSignalSpy presses(trayIcon(), &TrayIcon::leftButtonPressed);
    for (const int reason : reasons)
        emit systemTrayIcon()->activated(QSystemTrayIcon::ActivationReason(reason));
    QCoreApplication::sendPostedEvents(trayIcon(), QEvent::MetaCall);
    QCOMPARE(presses.count(), restores);
    if (restores) {
        verifyRestored();
    } else {
        QVERIFY(!m_form->isVisible());
        QVERIFY(trayIconWindow() != 0);
    }
}

void TestTray::minimizeAndRestoreRepeatedly()
{
    for (int round = 0; round < 3; ++round) {
        putInTray();
        if (QTest::currentTestFailed())
            return;
        QVERIFY(onIcon({u"click"_s, u"1"_s}));
        verifyRestored();
        if (QTest::currentTestFailed())
            return;
    }
}

void TestTray::hiddenAboutComesBack()
{
    const QPointer<Form2> about = openAbout();
    QVERIFY(about);
    putInTray();
    if (QTest::currentTestFailed())
        return;
    QVERIFY(onIcon({u"click"_s, u"1"_s}));
    verifyRestored();
    QVERIFY(!about->isVisible());
    const int aboutActivations = m_desktop.activationRequests(about->winId());
    clickAbout();
    QCOMPARE(aboutWindows(), QList<Form2 *>{about.data()});
    QTRY_VERIFY(m_desktop.isViewable(about->winId()));
    QTRY_VERIFY(m_desktop.activationRequests(about->winId()) > aboutActivations);
    waitForFocus(about);
}

class TestWithoutTray final : public DesktopFixture
{
    Q_OBJECT

public:
    using DesktopFixture::DesktopFixture;

private slots:
    void initTestCase();
    void minimizeStaysOnTaskbar();
    void nextMinimizeTriesAgain();

private:
    void minimizeWithoutTray();
};

void TestWithoutTray::initTestCase()
{
    QVERIFY(!m_desktop.trayHostPresent());
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
}

void TestWithoutTray::minimizeWithoutTray()
{
    const QPointer<Form2> about = openAbout();
    QVERIFY(about);
    QVERIFY(minimize());
    QTRY_COMPARE(m_desktop.wmState(m_form->winId()), kIconicState);
    // The About window goes either way; once it has, the minimize is handled.
    QTRY_VERIFY(!about->isVisible());
    QVERIFY(m_form->isMinimized());
    QVERIFY(m_desktop.clientList().contains(m_form->winId()));
    QVERIFY(!trayIcon()->isShown());
    QCOMPARE(trayIconWindow(), quintptr(0));
    QVERIFY(takesEvents());
    waitForFocusLoss();
}

void TestWithoutTray::minimizeStaysOnTaskbar()
{
    minimizeWithoutTray();
    if (QTest::currentTestFailed())
        return;
    // Back through the window manager, as from the taskbar, and it answers.
    QVERIFY(xdotool({u"windowactivate"_s, u"--sync"_s, id(m_form.get())}));
    QTRY_COMPARE(m_desktop.wmState(m_form->winId()), kNormalState);
    QTRY_VERIFY(!m_form->isMinimized());
    waitForFocus(m_form.get());
    clickAbout();
    QCOMPARE(aboutWindows().size(), 1);
    QTRY_VERIFY(aboutWindows().first()->isVisible());
    waitForFocus(aboutWindows().first());
}

void TestWithoutTray::nextMinimizeTriesAgain()
{
    minimizeWithoutTray();
    if (QTest::currentTestFailed())
        return;
    QVERIFY(xdotool({u"windowactivate"_s, u"--sync"_s, id(m_form.get())}));
    QTRY_COMPARE(m_desktop.wmState(m_form->winId()), kNormalState);
    // Qt has to see the window back before the window manager goes away.
    QTRY_VERIFY(!m_form->isMinimized());
    waitForFocus(m_form.get());

    // A tray turns up; the next minimize uses it.
    const auto noTrayAgain = qScopeGuard([this] { m_desktop.restartWindowManager(XDesktop::Tray::Without); });
    const QString problem = m_desktop.restartWindowManager(XDesktop::Tray::With);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QTRY_COMPARE(m_desktop.wmState(m_form->winId()), kNormalState);
    QTRY_VERIFY(QSystemTrayIcon::isSystemTrayAvailable());
    putInTray();
    if (QTest::currentTestFailed())
        return;
    QVERIFY(onIcon({u"click"_s, u"1"_s}));
    verifyRestored();
}

// Under LeakSanitizer: Qt asks the session bus for a tray before it falls back
// to XEmbed, and libdbus leaks the buffer of its failed attempt to start one.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libdbus-1.so\n";
}

void TestTray::spaceAfterStartNeverReachesExit()
{
    // After a click on Start, on Stop, and when the server ends by itself,
    // the focus is on the next action's button: a Space pressed then never
    // lands on Exit.
    RecordingControl::Log log;
    auto control = std::make_unique<RecordingControl>(log);
    RecordingControl *recording = control.get();
    m_form = std::make_unique<Form1>(std::move(control));
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    waitForFocus(m_form.get());
    auto *exit = m_form->findChild<QPushButton *>(u"command4"_s);
    QSignalSpy exitPressed(exit, &QPushButton::clicked);
    const auto space = [this] {
        return xdotool({u"key"_s, u"--window"_s, id(m_form.get()), u"space"_s});
    };

    auto *start = m_form->findChild<QPushButton *>(u"Command1"_s);
    QTest::mouseClick(start, Qt::LeftButton, {}, QPoint(8, start->height() / 2));
    QCOMPARE(log.launches, 1);
    QVERIFY(space());
    QTRY_COMPARE(log.stops, 1); // the Space pressed Stop
    recording->finishStop();
    QVERIFY(space());
    QTRY_COMPARE(log.launches, 2); // and then Start
    recording->endServer({ServerExit::Kind::Exited, 1, QString(), QString()});
    QVERIFY(space());
    QTRY_COMPARE(log.launches, 3);
    QCOMPARE(exitPressed.size(), 0);
}

int main(int argc, char *argv[])
{
    std::vector<char *> args(argv, argv + argc);
    const auto option = std::find_if(args.begin(), args.end(),
                                     [](const char *a) { return std::strcmp(a, "--without-tray") == 0; });
    const bool withTray = option == args.end();
    if (!withTray)
        args.erase(option);
    int count = int(args.size());
    args.push_back(nullptr);

    // Qt must dock its icon in icewm's XEmbed tray, not look for a tray over D-Bus.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    XDesktop desktop;
    if (const int status = desktop.startOrReport(withTray ? XDesktop::Tray::With : XDesktop::Tray::Without))
        return status;

    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(count, args.data());
    QApplication::setWindowIcon(QIcon(u":/icons/orbelith-32.png"_s));
    if (withTray) {
        TestTray test(desktop);
        return QTest::qExec(&test, count, args.data());
    }
    TestWithoutTray test(desktop);
    return QTest::qExec(&test, count, args.data());
}

#include "tst_tray.moc"
