#include "form1.h"
#include "startup.h"

#include <QApplication>

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
    const std::unique_ptr<Form1> window = startMainWindow(app);
    return app.exec();
}
