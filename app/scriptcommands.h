#pragma once

#include "commandline.h"

#include <QString>

#include <memory>

class ServerControl;

// What --start, --stop and --status print and end with.
struct ScriptOutcome
{
    int exitStatus = 0;
    // For standard output, and for standard error (a failure, or what the
    // status line would have said besides); each ends in a line break.
    QString output;
    QString errors;
};

// Runs the script's command in the current folder, through the session the
// window uses: the same search for this folder's servers, the same Stop, the
// same restore and files, the same launch, under the same folder lock. Needs
// an application object (a QCoreApplication is enough): --stop waits in its
// event loop.
ScriptOutcome runScriptCommand(CommandLine::Script script, std::unique_ptr<ServerControl> control);

// The same with the platform's control, printing what it has to say; for
// main, before any window exists: it makes the QCoreApplication itself.
int runScriptCommand(CommandLine::Script script, int &argc, char *argv[]);
