#include "folderpicker.h"
#include "form1.h"
#include "scriptcommands.h"
#include "serverfolder.h"
#include "sessionplatform.h"
#include "startup.h"

#include <QApplication>

#include <cstdio>

namespace {

// Without a display the toolkit would abort with a long message; say it in
// one line instead, with the way out. Qt's own -platform and -display
// options tell it where to draw without one.
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
    // First the command line and the folder to work in: help, the version
    // and a bad folder need no display, and everything after reads and
    // writes the server's files in that folder.
    const StartFolder startFolder = enterStartFolder(argc, argv);
    if (startFolder.exitStatus)
        return *startFolder.exitStatus;
    // --start, --stop and --status: for scripts, without a window.
    if (startFolder.script != CommandLine::Script::None)
        return runScriptCommand(startFolder.script, argc, argv);

    if (!startFolder.displayGiven && displayMissing()) {
        std::fprintf(
            stderr,
            "orbelith-gui: no display found (DISPLAY is not set); start it from a desktop session, or "
            "under a virtual display: xvfb-run -a %s\n",
            argv[0]);
        return 1;
    }

    preferXwaylandOnWayland(argc, argv);
    QApplication app(argc, argv);
    if (startFolder.choose && !chooseServerFolder(startFolder))
        return 0;
    const std::unique_ptr<Form1> window = startMainWindow(app);
    return app.exec();
}
