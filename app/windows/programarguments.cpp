#include "programarguments.h"

#include <QDir>
#include <QFileInfo>

#include <io.h>
#include <windows.h>

#include <shellapi.h>

QStringList programArguments(int argc, char *argv[])
{
    // The C runtime's argv is in the ANSI code page, which cannot hold every
    // name a folder may have; the wide command line can.
    QStringList arguments;
    int count = 0;
    if (LPWSTR *wide = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i)
            arguments.append(QString::fromWCharArray(wide[i]));
        ::LocalFree(wide);
        return arguments;
    }
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

Result enterFolder(const QString &path)
{
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists())
        return Result::failure(QStringLiteral("it does not exist"));
    if (!info.isDir())
        return Result::failure(QStringLiteral("it is not a folder"));
    if (!QDir::setCurrent(path))
        return Result::failure(qt_error_string(int(::GetLastError())));
    return Result::success();
}

QString displayedName(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

void printText(std::FILE *stream, const QString &text)
{
    // A console shows UTF-16 as it is; a file or a pipe gets the ANSI code
    // page, as other console programs write it.
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode)) {
        std::fflush(stream);
        const std::wstring wide = text.toStdWString();
        DWORD written = 0;
        ::WriteConsoleW(handle, wide.data(), DWORD(wide.size()), &written, nullptr);
        return;
    }
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// The system and its pickers hold every name as UTF-16: the picker's name is
// the folder's own, and the configuration keeps it as text.
std::optional<QString> pickedFolder(const QString &)
{
    return std::nullopt;
}

QVariant folderSetting(const QString &path)
{
    return path;
}

QString folderFromSetting(const QVariant &setting)
{
    return setting.toString();
}
