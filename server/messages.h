#pragma once

#include "servercontrol.h"

#include <QString>

// Every sentence the operator reads about the server, made in one place from
// what the session and the backends report, the same on every platform.
namespace Messages {

// The window's status line.
inline const QString kStarted = QStringLiteral("Orbelith Server started....");
inline const QString kStopped = QStringLiteral("Orbelith Server stopped");
inline const QString kStopping = QStringLiteral("Stopping Orbelith Server...");
QString alreadyRunning(qint64 pid);
QString serverEnded(const ServerExit &exit);
// After a Start: kStarted, and what became of the log where it says anything.
QString started(const LogNote &log);
// Another Start or Stop in the same folder has not finished in time.
QString folderBusy();

// What a request could not do.
enum class Request
{
    Start,
    Stop,
    Search,
    OpenUrl,
};
QString problem(const ControlProblem &problem, Request request);

// What the script commands print, each line ending in a line break.
namespace Script {
QString running(qint64 pid);
QString notRunning();
QString started(qint64 pid);
QString alreadyRunning(qint64 pid);
QString stopped();
// A line of standard error: the program's name, then the message.
QString error(const QString &message);
// What became of the log, for standard error; empty when all is well.
QString logNote(const LogNote &log);
} // namespace Script

} // namespace Messages
