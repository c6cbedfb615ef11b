#include "form1.h"

#include <QApplication>
#include <QIcon>
#include <QScreen>

#include <cstdio>

namespace {

// Without a display the toolkit would abort with a long message; say it in
// one line instead, with the way out.
bool displayMissing()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    return qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
           qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#else
    return false;
#endif
}

QIcon programIcon()
{
    QIcon icon;
    for (const int size : {16, 32, 48})
        icon.addFile(QStringLiteral(":/icons/orbelith-%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace

int main(int argc, char *argv[])
{
    if (displayMissing()) {
        std::fprintf(
            stderr,
            "orbelith-gui: no display found (DISPLAY is not set); start it from a desktop session, or "
            "under a virtual display: xvfb-run -a %s\n",
            argv[0]);
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("orbelith-gui"));
    // No display name: Qt would append it to every window's caption, and the
    // About window's caption is its own.
    QApplication::setWindowIcon(programIcon());
    // Closing the main window ends the program; the tray keeps it alive while hidden.
    QApplication::setQuitOnLastWindowClosed(false);

    Form1 window;
    window.setWindowIcon(QApplication::windowIcon());
    window.Form_Load();
    // Logging out ends the program without closing the window: stop a server
    // started here all the same.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &window, &Form1::stopServerBeforeExit);

    const QRect screen = window.screen()->availableGeometry();
    window.move(screen.center() - window.rect().center());
    window.show();
    return app.exec();
}
