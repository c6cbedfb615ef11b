#include "messages.h"

#include "logline.h"

#include <QDir>

#include <algorithm>

namespace Messages {

namespace {

QString path(const QString &file)
{
    return QDir::toNativeSeparators(file);
}

// Why the log is not as usual, without the words around it.
QString logReason(const LogNote &log)
{
    switch (log.kind) {
    case LogNote::Kind::None:
        return {};
    case LogNote::Kind::NoLog:
        return log.systemError;
    case LogNote::Kind::LogNotOwn:
        return QStringLiteral("%1 is not a regular file of yours").arg(kServerLogFileName);
    case LogNote::Kind::PreviousIsFolder:
        return QStringLiteral("%1 is a folder; this run is added to %2")
            .arg(kPreviousServerLogFileName, kServerLogFileName);
    case LogNote::Kind::PreviousHeldOpen:
        return QStringLiteral("%1 is held open by another program; this run is added to %2")
            .arg(kPreviousServerLogFileName, kServerLogFileName);
    case LogNote::Kind::PreviousNotOwn:
        return QStringLiteral("%1 is not a regular file of yours; this run is added to %2")
            .arg(kPreviousServerLogFileName, kServerLogFileName);
    case LogNote::Kind::NoNewLog:
        return QStringLiteral("no new log can be made here (%1); this run is added to %2")
            .arg(log.systemError, kServerLogFileName);
    case LogNote::Kind::OldNotRenamed:
        return QStringLiteral("%1 could not be renamed to %2 (%3); this run is in %4")
            .arg(kServerLogFileName, kPreviousServerLogFileName, log.systemError, path(log.file));
    case LogNote::Kind::NewNotRenamed:
        return QStringLiteral("%1 could not be renamed to %2 (%3); this run is in it")
            .arg(path(log.file), kServerLogFileName, log.systemError);
    }
    return {};
}

// The server's output is not kept at all.
bool noLog(const LogNote &log)
{
    return log.kind == LogNote::Kind::NoLog || log.kind == LogNote::Kind::LogNotOwn;
}

// Why the folder's servers cannot be found or told apart, as a clause.
QString searchReason(const ControlProblem &p)
{
    switch (p.kind) {
    case ControlProblem::Kind::FolderUnreadable:
        return QStringLiteral("the current folder cannot be read (%1)").arg(p.systemError);
    case ControlProblem::Kind::ProcessListUnreadable:
        if (!p.systemError.isEmpty())
            return QStringLiteral("the process list (/proc) cannot be read (%1)").arg(p.systemError);
        return QStringLiteral("the process list (/proc) is not readable");
    default:
        return p.systemError.isEmpty() ? QStringLiteral("the system did not say why") : p.systemError;
    }
}

QString launchProblem(const ControlProblem &p)
{
    const QString prefix = QStringLiteral("Could not start %1: ").arg(path(p.subject));
    switch (p.kind) {
    case ControlProblem::Kind::ProgramNotFound: {
        // The program's folder is often the working folder: named once.
        QStringList folders;
        for (const QString &folder : p.folders) {
            if (std::none_of(folders.begin(), folders.end(),
                             [&](const QString &named) { return QDir(named) == QDir(folder); }))
                folders.append(folder);
        }
        return QStringLiteral("Server program %1 not found in %2 or PATH.")
            .arg(p.subject, QDir::toNativeSeparators(folders.join(QStringLiteral(", "))));
    }
    case ControlProblem::Kind::ProgramNotExecutable:
        return prefix + QStringLiteral("it is not executable (no execute permission).");
    case ControlProblem::Kind::ProgramNotTrusted:
        return QStringLiteral("Could not start the server: %1 belongs to another user, %2, and lies in %3, a "
                              "folder that other users may write to. Start runs no program, and follows no "
                              "link, from such a folder unless it is yours or root's.")
            .arg(path(p.subject), p.detail, path(p.folders.value(0)));
    case ControlProblem::Kind::NotAProgram:
        return prefix + (p.systemError.isEmpty()
                             ? QStringLiteral("it is not a program that this system can run.")
                             : QStringLiteral("it is not a program that this system can run (%1).")
                                   .arg(p.systemError));
    case ControlProblem::Kind::InterpreterNotFound:
        return prefix + QStringLiteral("its interpreter %1 was not found.").arg(p.detail);
    case ControlProblem::Kind::InterpreterCarriageReturn:
        return prefix + QStringLiteral("its interpreter %1 was not found: its #! line ends in a carriage "
                                       "return (Windows line ends).")
                            .arg(p.detail);
    case ControlProblem::Kind::InterpreterNotStarted:
        return prefix +
               QStringLiteral("its interpreter %1 could not be started (%2).").arg(p.detail, p.systemError);
    case ControlProblem::Kind::CannotWatch:
        return QStringLiteral("Could not start the server: this system gives the program no way to watch it "
                              "(%1). Nothing was started.")
            .arg(p.systemError);
    case ControlProblem::Kind::EndedUnwatched:
        return prefix +
               QStringLiteral("it could not be watched (%1), so it was ended at once.").arg(p.systemError);
    default:
        // A backend that cannot name the file says it all in its own words.
        return p.subject.isEmpty() ? p.systemError : prefix + p.systemError;
    }
}

QString openProblem(const ControlProblem &p)
{
    const QString prefix = QStringLiteral("Could not open %1: ").arg(p.subject);
    switch (p.kind) {
    case ControlProblem::Kind::OpenerNotStarted:
        return prefix + QStringLiteral("no web browser opener (%1) could be started.").arg(p.detail);
    case ControlProblem::Kind::OpenerFoundNothing:
        return prefix +
               QStringLiteral("%1 found no program to open it (exit status %2).").arg(p.detail).arg(p.code);
    case ControlProblem::Kind::OpenerFailed:
        return prefix + QStringLiteral("%1 failed (exit status %2).").arg(p.detail).arg(p.code);
    case ControlProblem::Kind::OpenerSignalled:
        return prefix +
               QStringLiteral("%1 was ended by signal %2 (%3).").arg(p.detail).arg(p.code).arg(p.systemError);
    default:
        return prefix + p.systemError + u'.';
    }
}

} // namespace

QString alreadyRunning(qint64 pid)
{
    return QStringLiteral("Orbelith Server is already running (PID %1)").arg(pid);
}

QString serverEnded(const ServerExit &exit)
{
    QString text;
    switch (exit.kind) {
    case ServerExit::Kind::Exited:
        text = QStringLiteral("Orbelith Server exited with code %1").arg(exit.code);
        break;
    case ServerExit::Kind::Signalled:
        text =
            QStringLiteral("Orbelith Server was ended by signal %1 (%2)").arg(exit.code).arg(exit.signalName);
        break;
    case ServerExit::Kind::Unknown:
        text = QStringLiteral("Orbelith Server ended");
        break;
    }
    if (!exit.lastLine.isEmpty())
        text += QStringLiteral(": ") + exit.lastLine;
    return text;
}

QString started(const LogNote &log)
{
    if (log.kind == LogNote::Kind::None)
        return kStarted;
    if (noLog(log))
        return kStarted + QStringLiteral(" (no log: %1)").arg(logReason(log));
    return kStarted + QStringLiteral(" (log not rotated: %1)").arg(logReason(log));
}

QString folderBusy()
{
    return QStringLiteral("Another Start or Stop in this folder has not finished yet; nothing was done. Try "
                          "again in a moment.");
}

QString problem(const ControlProblem &p, Request request)
{
    switch (request) {
    case Request::Start:
        if (p.kind == ControlProblem::Kind::FolderUnreadable ||
            p.kind == ControlProblem::Kind::ProcessListUnreadable)
            return QStringLiteral("Cannot tell whether Orbelith Server is already running here: %1. Nothing "
                                  "was started.")
                .arg(searchReason(p));
        return launchProblem(p);
    case Request::Stop:
        if (p.kind == ControlProblem::Kind::StopNotStarted)
            return QStringLiteral(
                       "Cannot stop the server: what ends it after the grace period cannot be started (%1). "
                       "Nothing was asked to end.")
                .arg(p.systemError);
        if (p.kind == ControlProblem::Kind::StopNotEnsured)
            return QStringLiteral("Asked the server to stop, but cannot make sure it ends: %1")
                .arg(p.systemError);
        return QStringLiteral("Cannot stop the server: %1.").arg(searchReason(p));
    case Request::Search:
        return QStringLiteral("Cannot tell whether Orbelith Server is running: %1.").arg(searchReason(p));
    case Request::OpenUrl:
        return openProblem(p);
    }
    return {};
}

namespace Script {

QString running(qint64 pid)
{
    return QStringLiteral("Orbelith Server is running (PID %1)\n").arg(pid);
}

QString notRunning()
{
    return QStringLiteral("Orbelith Server is not running\n");
}

QString started(qint64 pid)
{
    return QStringLiteral("Orbelith Server started.... (PID %1)\n").arg(pid);
}

QString alreadyRunning(qint64 pid)
{
    return Messages::alreadyRunning(pid) + u'\n';
}

QString stopped()
{
    return kStopped + u'\n';
}

QString error(const QString &message)
{
    return QStringLiteral("orbelith-gui: %1\n").arg(message);
}

QString logNote(const LogNote &log)
{
    if (log.kind == LogNote::Kind::None)
        return {};
    if (noLog(log))
        return error(QStringLiteral("the server's output is not kept (no log: %1)").arg(logReason(log)));
    return error(QStringLiteral("log not rotated: %1").arg(logReason(log)));
}

} // namespace Script

} // namespace Messages
