// orbelith-gui.com, the program's console companion on Windows. A program
// built for the GUI subsystem, as orbelith-gui.exe is, holds no console and
// the shell does not wait for it; cmd finds orbelith-gui.com first, so that
// --start, --stop and --status (and --help, --version, a mistake) answer in
// the console they were typed in, with the exit status the shell sees.
// Everything else is the window's: its program is started beside this one,
// with the same command line, from the folder this one was started in.
#include "programarguments.h"
#include "scriptcommands.h"
#include "serverfolder.h"

#include <QDir>
#include <QFileInfo>
#include <QString>

#include <string>

#include <windows.h>

namespace {

int startWindowProgram(const QString &startedIn)
{
    wchar_t self[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length == MAX_PATH) {
        printText(stderr, QStringLiteral("%1: cannot tell where this program is: %2\n")
                              .arg(kProgramName, qt_error_string(int(::GetLastError()))));
        return 1;
    }
    const QString program = QDir(QFileInfo(QString::fromWCharArray(self, int(length))).absolutePath())
                                .filePath(kProgramName + QStringLiteral(".exe"));
    const std::wstring application = QDir::toNativeSeparators(program).toStdWString();
    // The command line as it was given, so that the window's program reads
    // every argument as this one did.
    std::wstring commandLine = ::GetCommandLineW();
    const std::wstring folder = QDir::toNativeSeparators(startedIn).toStdWString();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          folder.c_str(), &startup, &process)) {
        printText(stderr, QStringLiteral("%1: cannot start %2: %3\n")
                              .arg(kProgramName, QDir::toNativeSeparators(program),
                                   qt_error_string(int(::GetLastError()))));
        return 1;
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // A FOLDER is checked here, where a mistake can be read, and then given
    // to the window's program as it was typed: relative to where this started.
    const QString startedIn = QDir::currentPath();
    const StartFolder startFolder = enterStartFolder(argc, argv);
    if (startFolder.exitStatus)
        return *startFolder.exitStatus;
    if (startFolder.script != CommandLine::Script::None)
        return runScriptCommand(startFolder.script, argc, argv);
    return startWindowProgram(startedIn);
}
