#include "platformfiles.h"

#include "win32control.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <shlobj.h>

namespace {

std::wstring wide(QStringView text)
{
    return std::wstring(reinterpret_cast<const wchar_t *>(text.utf16()), size_t(text.size()));
}

QString knownFolder(REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    QString folder;
    if (SUCCEEDED(::SHGetKnownFolderPath(id, 0, nullptr, &path)))
        folder = QDir::cleanPath(QDir::fromNativeSeparators(QString::fromWCharArray(path)));
    ::CoTaskMemFree(path);
    return folder;
}

// The Program Files folder that holds the folder, if one does.
QString programFilesHolding(const QString &directory)
{
    const QString folder = QDir::cleanPath(QFileInfo(directory).absoluteFilePath());
    for (const KNOWNFOLDERID &id : {FOLDERID_ProgramFiles, FOLDERID_ProgramFilesX86}) {
        const QString programFiles = knownFolder(id);
        if (!programFiles.isEmpty() && (folder.compare(programFiles, Qt::CaseInsensitive) == 0 ||
                                        folder.startsWith(programFiles + u'/', Qt::CaseInsensitive)))
            return programFiles;
    }
    return {};
}

} // namespace

EightBitText toEightBitText(QStringView text)
{
    const win32::CodePageText converted = win32::toCodePage(wide(text), ::GetACP());
    return {QByteArray(converted.bytes.data(), qsizetype(converted.bytes.size())),
            converted.unwritableAt == std::wstring::npos ? -1 : qsizetype(converted.unwritableAt)};
}

QString fromEightBitText(QByteArrayView bytes)
{
    return QString::fromStdWString(
        win32::settingsFileText(std::string(bytes.data(), size_t(bytes.size())), ::GetACP()));
}

QString eightBitTextName()
{
    return QStringLiteral("this system's code page (%1)").arg(::GetACP());
}

// A 64-bit program may not write under Program Files without an
// administrator's rights, and Windows does not redirect it to the
// VirtualStore as it does a 32-bit program without a manifest (whose files
// then seem to be there, which is where an old front-end's went).
QString folderRefusalReason(const QString &directory)
{
    const QString programFiles = programFilesHolding(directory);
    if (programFiles.isEmpty())
        return {};
    // A file of its own that goes with its handle: whether this user may
    // create files here at all.
    const std::wstring probe = wide(
        QDir::toNativeSeparators(QDir(directory).filePath(QStringLiteral("orbelith-gui-write-check.tmp"))));
    const win32::UniqueHandle file(::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                                 nullptr));
    if (file || ::GetLastError() != ERROR_ACCESS_DENIED)
        return {};
    return QStringLiteral(
               "Could not write orbelithsrv.conf and orbelithsrv.ini into %1: Access is denied. The folder "
               "lies under %2, where Windows lets only administrators create or change files (older "
               "32-bit programs only seem to write there: Windows puts their files in your "
               "VirtualStore folder instead). Move the server's folder out of %2, for example into "
               "your Documents, or give your user the right to modify that folder.")
        .arg(QDir::toNativeSeparators(directory), QDir::toNativeSeparators(programFiles));
}
