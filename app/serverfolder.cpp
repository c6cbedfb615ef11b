#include "serverfolder.h"

#include "programarguments.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace {

const QString kLastFolderKey = QStringLiteral("LastFolder");

// A folder's name as one line of text: a name may hold a line break or a
// terminal's control characters, which must not reach the terminal as such.
QString printable(const QString &path)
{
    QString shown = displayedName(path);
    for (QChar &c : shown) {
        if (c.category() == QChar::Other_Control)
            c = u'?';
    }
    return shown;
}

} // namespace

QString lastChosenFolderFile()
{
    // The same name whether or not the application object exists yet.
    QCoreApplication::setApplicationName(kProgramName);
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation))
        .filePath(QStringLiteral("%1.conf").arg(kProgramName));
}

QString lastChosenFolder()
{
    const QSettings settings(lastChosenFolderFile(), QSettings::IniFormat);
    return folderFromSetting(settings.value(kLastFolderKey));
}

Result rememberChosenFolder(const QString &path)
{
    const QString file = lastChosenFolderFile();
    QSettings settings(file, QSettings::IniFormat);
    settings.setValue(kLastFolderKey, folderSetting(QDir(path).absolutePath()));
    settings.sync();
    if (settings.status() != QSettings::NoError)
        return Result::failure(QStringLiteral("%1 could not be written").arg(QDir::toNativeSeparators(file)));
    return Result::success();
}

StartFolder enterStartFolder(const CommandLine &commandLine)
{
    StartFolder start;
    start.exitStatus = commandLine.exitStatus;
    start.message = commandLine.message;
    start.script = commandLine.script;
    start.displayGiven = commandLine.displayGiven;
    if (start.exitStatus)
        return start;
    switch (commandLine.folder) {
    case CommandLine::Folder::Current:
        break;
    case CommandLine::Folder::Given:
        if (const Result entered = enterFolder(commandLine.givenFolder); !entered.ok()) {
            // --status answers as the LSB has it: 4, the status is unknown.
            start.exitStatus = commandLine.script == CommandLine::Script::Status ? 4 : 2;
            start.message =
                QStringLiteral("%1: cannot work in the folder '%2': %3\n")
                    .arg(kProgramName, printable(commandLine.givenFolder), entered.errorMessage());
        }
        break;
    case CommandLine::Folder::Choose:
        start.choose = true;
        start.chooseFrom = lastChosenFolder();
        if (start.chooseFrom.isEmpty() || !QFileInfo(start.chooseFrom).isDir())
            start.chooseFrom = QDir::currentPath();
        break;
    case CommandLine::Folder::LastChosen: {
        const QString last = lastChosenFolder();
        if (last.isEmpty())
            break; // none chosen yet: where the menu started it, as always
        if (const Result entered = enterFolder(last); !entered.ok()) {
            // Started from the menu, nobody reads standard error: ask anew,
            // and say why.
            start.choose = true;
            start.chooseFrom = QDir::currentPath();
            start.notice = QStringLiteral("The server folder chosen last time, %1, cannot be opened: %2. "
                                          "Choose the server's folder.")
                               .arg(printable(last), entered.errorMessage());
        }
        break;
    }
    }
    return start;
}

StartFolder enterStartFolder(int argc, char *argv[])
{
    const StartFolder start = enterStartFolder(parseCommandLine(programArguments(argc, argv)));
    if (!start.message.isEmpty())
        printText(start.exitStatus == 0 ? stdout : stderr, start.message);
    return start;
}
