#include "programarguments.h"

#include <QFile>

#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char16_t kEscapeBase = 0xDC00;

bool isEscapedByte(QChar c)
{
    return c.unicode() >= kEscapeBase + 0x80 && c.unicode() <= kEscapeBase + 0xFF;
}

// The length of the UTF-8 character that starts at bytes[at], or 0 when no
// valid one does (a stray byte, a cut or overlong sequence, a surrogate, a
// code point above U+10FFFF).
int utf8CharacterLength(const QByteArray &bytes, qsizetype at)
{
    const auto byte = [&bytes](qsizetype i) {
        return uchar(bytes[i]);
    };
    const uchar lead = byte(at);
    if (lead < 0x80)
        return 1;
    int length;
    char32_t codePoint;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > bytes.size())
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (byte(at + i) & 0x3F);
    }
    const char32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (codePoint < smallest || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

QString argumentFromBytes(const QByteArray &bytes)
{
    QString text;
    qsizetype start = 0; // of the valid UTF-8 not yet appended
    for (qsizetype at = 0; at < bytes.size();) {
        const int length = utf8CharacterLength(bytes, at);
        if (length > 0) {
            at += length;
            continue;
        }
        text += QString::fromUtf8(bytes.constData() + start, at - start);
        text += QChar(char16_t(kEscapeBase + uchar(bytes[at])));
        start = ++at;
    }
    text += QString::fromUtf8(bytes.constData() + start, bytes.size() - start);
    return text;
}

// The bytes that argumentFromBytes() read the name from; UTF-8 for any other text.
QByteArray fileNameBytes(const QString &name)
{
    QByteArray bytes;
    qsizetype start = 0;
    for (qsizetype at = 0; at < name.size(); ++at) {
        // Half of a pair is never an escape: a lone low surrogate is.
        if (!isEscapedByte(name[at]) || (at > 0 && name[at - 1].isHighSurrogate()))
            continue;
        bytes += QStringView(name).sliced(start, at - start).toUtf8();
        bytes += char(name[at].unicode() - kEscapeBase);
        start = at + 1;
    }
    bytes += QStringView(name).sliced(start).toUtf8();
    return bytes;
}

} // namespace

QStringList programArguments(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(argumentFromBytes(QByteArray(argv[i])));
    return arguments;
}

Result enterFolder(const QString &path)
{
    // By its bytes: QDir and QFileInfo would take a name that is not UTF-8
    // for another one.
    const QByteArray name = fileNameBytes(path);
    struct stat st
    {
    };
    if (name.isEmpty())
        return Result::failure(QStringLiteral("it does not exist"));
    if (::stat(name.constData(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return Result::failure(QStringLiteral("it does not exist"));
        return Result::failure(qt_error_string(errno));
    }
    if (!S_ISDIR(st.st_mode))
        return Result::failure(QStringLiteral("it is not a folder"));
    if (::chdir(name.constData()) != 0)
        return Result::failure(qt_error_string(errno));
    return Result::success();
}

QString displayedName(const QString &path)
{
    QString shown = path;
    for (qsizetype at = 0; at < shown.size(); ++at) {
        if (isEscapedByte(shown[at]) && !(at > 0 && shown[at - 1].isHighSurrogate()))
            shown[at] = QChar::ReplacementCharacter;
    }
    return shown;
}

std::optional<QString> pickedFolder(const QString &shown)
{
    if (!shown.startsWith(u'/') || !shown.contains(QChar::ReplacementCharacter))
        return std::nullopt;
    QByteArray path;
    for (const QString &part : shown.split(u'/', Qt::SkipEmptyParts)) {
        if (!part.contains(QChar::ReplacementCharacter)) {
            path += '/' + part.toUtf8();
            continue;
        }
        DIR *folder = ::opendir(path.isEmpty() ? "/" : path.constData());
        if (!folder)
            return std::nullopt;
        QByteArrayList matches;
        while (const dirent *entry = ::readdir(folder)) {
            if (QFile::decodeName(entry->d_name) == part)
                matches.append(QByteArray(entry->d_name));
        }
        ::closedir(folder);
        // Two names that differ only in such bytes look the same.
        if (matches.size() != 1)
            return std::nullopt;
        path += '/' + matches.constFirst();
    }
    struct stat st
    {
    };
    if (::stat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    return argumentFromBytes(path);
}

QVariant folderSetting(const QString &path)
{
    if (displayedName(path) == path)
        return path;
    return fileNameBytes(path);
}

QString folderFromSetting(const QVariant &setting)
{
    if (setting.typeId() == QMetaType::QByteArray)
        return argumentFromBytes(setting.toByteArray());
    return setting.toString();
}

void printText(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}
