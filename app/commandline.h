#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// What the command line asks the program to do, worked out before the
// application exists, so that help, the version and mistakes need no display.
struct CommandLine
{
    enum class Folder
    {
        Current,   // no folder named: work where started
        Given,     // a FOLDER argument
        Choose,    // --choose-folder: a folder picker first
        LastChosen // --last-folder: the folder the picker gave last time
    };

    // What a script asks instead of the window: start, stop or ask about
    // the folder's server, then end.
    enum class Script
    {
        None,
        Start,  // --start
        Stop,   // --stop
        Status, // --status
    };

    Folder folder = Folder::Current;
    // As programArguments() gives it: a name that is not UTF-8 keeps its bytes.
    QString givenFolder;
    Script script = Script::None;
    // Qt's own options say where to draw (-platform, -display): the program
    // need not find a display of its own.
    bool displayGiven = false;

    // Set when the program is to end at once (help, version, a mistake),
    // with the text to print: on standard output for status 0, else on
    // standard error.
    std::optional<int> exitStatus;
    QString message;
};

// The program's name as the terminal and the manual know it.
inline const QString kProgramName = QStringLiteral("orbelith-gui");

// The first argument is the program as it was called. Qt's own options
// (-platform, -style, -session, -display, ...) are passed over: the
// application object takes them later.
CommandLine parseCommandLine(const QStringList &arguments);
