#pragma once

// What the platform backends report, as kinds without words: the sentences
// the operator reads are made once, in messages.cpp, the same on every
// platform. Plain C++, so that the Win32 layer, which is built and tested
// without Qt, reports the same kinds.

enum class ControlProblemKind
{
    ProgramNotFound,           // subject: the program's name; folders: where it was looked for
    ProgramNotExecutable,      // subject: the file
    ProgramNotTrusted,         // subject: the file or a link on the way; detail: the user who owns it;
                               // folders: the folder it lies in, which other users may write to
    NotAProgram,               // subject: the file; systemError, if any
    InterpreterNotFound,       // subject: the script; detail: its interpreter
    InterpreterCarriageReturn, // subject: the script; detail: its interpreter
    InterpreterNotStarted,     // subject: the script; detail: its interpreter; systemError
    LaunchFailed,              // subject: the file; systemError
    CannotWatch,           // the system gives no handle to watch the server (pidfd_open refused); systemError
    EndedUnwatched,        // subject: the file, ended at once as it could not be held; systemError
    FolderUnreadable,      // systemError
    ProcessListUnreadable, // systemError; none when /proc holds no process list
    StopNotStarted,        // nothing was asked to end; systemError
    StopNotEnsured,     // asked to end, but its end after the grace period cannot be made sure; systemError
    OpenerNotStarted,   // subject: the address; detail: the opener
    OpenerFoundNothing, // subject: the address; detail: the opener; code: its exit status
    OpenerFailed,       // subject: the address; detail: the opener; code: its exit status
    OpenerSignalled,    // subject: the address; detail: the opener; code: the signal; systemError: its name
    UrlNotOpened,       // subject: the address; systemError: why
};

// What became of the server's log at a launch.
enum class LogNoteKind
{
    None,
    NoLog,            // no log: the output goes nowhere; systemError
    LogNotOwn,        // likewise: a link, another user's file or no regular file holds the log's name
    PreviousIsFolder, // the run before cannot be kept: this run is added to the log
    PreviousHeldOpen, // likewise: the kept run's file is held open by another program
    PreviousNotOwn,   // likewise: another user's file or a link holds the kept run's name
    NoNewLog,         // likewise: no new log can be made; systemError
    OldNotRenamed,    // the log could not become the run before's; systemError; this run is in file
    NewNotRenamed,    // the new log could not take the log's name; systemError; this run is in file
};
