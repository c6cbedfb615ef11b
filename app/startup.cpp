#include "startup.h"

#include "form1.h"
#include "programicon.h"
#include "terminationsignals.h"

#include <QApplication>
#include <QIcon>
#include <QScreen>

std::unique_ptr<Form1> startMainWindow(QApplication &app, std::unique_ptr<ServerControl> control)
{
    // The icons are built into this library; a static library's resources
    // are linked in only when named.
    Q_INIT_RESOURCE(app);
    QApplication::setApplicationName(QStringLiteral("orbelith-gui"));
    // Wayland desktops find the menu entry, and its icon, by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral(ORBELITH_APP_ID));
    // No display name: Qt would append it to every window's caption, and the
    // About window's caption is its own.
    // The windows, the About window too, take the application's icon: Qt
    // gives a window this one at creation even where the window has an icon
    // of its own, and changing it reaches every window without one.
    QApplication::setWindowIcon(programFirstShowIcon());
    // Closing the main window ends the program; the tray keeps it alive while hidden.
    QApplication::setQuitOnLastWindowClosed(false);

    auto window = std::make_unique<Form1>(std::move(control));
    // The sizes beyond 32 px once the window is on the screen: under X,
    // converting and sending them before the first paint delayed it by a
    // tenth of start-up.
    QObject::connect(window.get(), &Form1::firstPainted, &app,
                     [] { QApplication::setWindowIcon(programWindowIcon()); });
    window->Form_Load(Form1::Adoption::AfterFirstPaint);
    // Logging out ends the program without closing the window: stop a server
    // started here all the same.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, window.get(), &Form1::stopServerBeforeExit);
    quitOnTerminationSignals(app);

    const QRect screen = window->screen()->availableGeometry();
    window->move(screen.center() - window->rect().center());
    window->show();
    return window;
}
