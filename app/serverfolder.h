#pragma once

#include "commandline.h"
#include "programarguments.h"
#include "result.h"

#include <QString>

#include <optional>

// The folder last chosen with the folder picker, kept in the user's
// configuration rather than in any server's folder. Empty when none was.
QString lastChosenFolder();
Result rememberChosenFolder(const QString &path);
// Where it is kept.
QString lastChosenFolderFile();

// What main does first, before the application exists: prints help, the
// version or a mistake, and enters a folder that needs no picker.
struct StartFolder
{
    // End at once with this status, after printing the message: on
    // standard output for status 0, else on standard error.
    std::optional<int> exitStatus;
    QString message;
    // Otherwise: a folder picker is needed once the application exists,
    // starting in this folder, after this notice when it is not empty.
    bool choose = false;
    QString chooseFrom;
    QString notice;
    // A script's command instead of the window, in the folder entered.
    CommandLine::Script script = CommandLine::Script::None;
    // Qt is told where to draw.
    bool displayGiven = false;
};

StartFolder enterStartFolder(const CommandLine &commandLine);
// The same from main's arguments, printing what the command line asked for.
StartFolder enterStartFolder(int argc, char *argv[]);
