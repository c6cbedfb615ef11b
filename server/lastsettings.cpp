#include "lastsettings.h"

#include "motdcodec.h"
#include "textlines.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringView>

#include <utility>

#if defined(Q_OS_UNIX)
#include <QScopeGuard>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

QStringView trimBlanks(QStringView s)
{
    while (!s.isEmpty() && isBlank(s.front()))
        s = s.mid(1);
    while (!s.isEmpty() && isBlank(s.back()))
        s.chop(1);
    return s;
}

char16_t asciiLower(char16_t c)
{
    return (c >= u'A' && c <= u'Z') ? char16_t(c - u'A' + u'a') : c;
}

bool equalsIgnoringAsciiCase(QStringView a, QStringView b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i].unicode()) != asciiLower(b[i].unicode()))
            return false;
    }
    return true;
}

// The name of the section a line opens, or nothing when it opens none.
std::optional<QStringView> sectionName(QStringView line)
{
    const QStringView s = trimBlanks(line);
    if (!s.startsWith(u'['))
        return std::nullopt;
    const qsizetype close = s.indexOf(u']');
    if (close < 0)
        return std::nullopt;
    return trimBlanks(s.mid(1, close - 1));
}

} // namespace

LastSettingsFile::LastSettingsFile(const QByteArray &contents)
{
    QByteArrayView bytes(contents);
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes = bytes.sliced(3);
    // QString::fromUtf8 would silently drop a second mark as well.
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    m_lines = splitLines(utf8(bytes));
}

namespace {

LoadedLastSettings unusable(const QString &path, const QString &reason)
{
    LoadedLastSettings loaded;
    loaded.state = LoadedLastSettings::State::Unusable;
    loaded.error = QStringLiteral("Could not read %1: %2").arg(QFileInfo(path).fileName(), reason);
    return loaded;
}

QString tooLarge()
{
    return QStringLiteral("it is larger than %1 MiB").arg(kMaxLastSettingsFileSize / (1024 * 1024));
}

} // namespace

#if defined(Q_OS_UNIX)
LoadedLastSettings LastSettingsFile::load(const QString &path)
{
    // Without O_NONBLOCK a FIFO at the name would hold start-up until
    // something writes to it.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT)
            return {};
        return unusable(path, qt_error_string(errno));
    }
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    // Checked on the open file, so that nothing can swap the name meanwhile.
    struct stat status = {};
    if (::fstat(fd, &status) != 0)
        return unusable(path, qt_error_string(errno));
    if (S_ISDIR(status.st_mode))
        return unusable(path, QStringLiteral("it is a folder"));
    if (!S_ISREG(status.st_mode))
        return unusable(path, QStringLiteral("it is not a regular file"));
    if (status.st_size > kMaxLastSettingsFileSize)
        return unusable(path, tooLarge());

    QByteArray contents;
    contents.reserve(qsizetype(status.st_size));
    // The size is checked again as the file is read: it may grow meanwhile,
    // and some files report no size at all.
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return unusable(path, qt_error_string(errno));
        if (got == 0)
            break;
        if (contents.size() + got > kMaxLastSettingsFileSize)
            return unusable(path, tooLarge());
        contents.append(buffer, got);
    }
    return {LoadedLastSettings::State::Read, LastSettingsFile(contents), {}};
}
#else
LoadedLastSettings LastSettingsFile::load(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    if (info.isDir())
        return unusable(path, QStringLiteral("it is a folder"));
    if (!info.isFile())
        return unusable(path, QStringLiteral("it is not a regular file"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return unusable(path, file.errorString());
    if (file.size() > kMaxLastSettingsFileSize)
        return unusable(path, tooLarge());
    const QByteArray contents = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return unusable(path, file.errorString());
    return {LoadedLastSettings::State::Read, LastSettingsFile(contents), {}};
}
#endif

QString LastSettingsFile::GetFromINI(const QString &AppName, const QString &KeyName) const
{
    bool inSection = false;
    for (const QString &line : m_lines) {
        if (const auto name = sectionName(line)) {
            if (inSection)
                break; // only the first matching section counts
            inSection = equalsIgnoringAsciiCase(*name, AppName);
            continue;
        }
        if (!inSection)
            continue;
        const QStringView content = trimBlanks(line);
        if (content.startsWith(u';'))
            continue;
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            continue;
        if (equalsIgnoringAsciiCase(trimBlanks(QStringView(line).left(equals)), KeyName))
            return line.mid(equals + 1);
    }
    return {};
}

void RestoreLastSettings(const LastSettingsFile &file, ServerSettings &s)
{
    const auto get = [&file](const char *section, const char *key) {
        return file.GetFromINI(QString::fromLatin1(section), QString::fromLatin1(key));
    };
    s.serverName = get("Last", "ServerName");
    s.location = get("Last", "Location");
    s.url = get("Last", "URL");
    s.maxUsers = get("Last", "MaxUsers");
    s.port = get("Last", "Port");
    s.minPing = get("Last", "MinPing");
    s.floodMsgTime = get("last", "FloodMsgTime");
    s.floodMsgNb = get("Last", "FloodMsgNb");

    bool ok = false;
    const QString connectionText = get("last", "MaxConnSet").trimmed();
    // toInt stops at a NUL, which would read "6<NUL>junk" as 6.
    const int connection = connectionText.contains(QChar()) ? -1 : connectionText.toInt(&ok, 10);
    if (ok && connection >= 0 && connection < kConnectionSettingCount)
        s.maxConnSet = connection;

    const double isPublic = get("Last", "Public").trimmed().toDouble(&ok);
    if (ok)
        s.isPublic = (isPublic == 1.0);

    const QString motd = get("last", "MotdLine");
    if (!motd.isEmpty()) {
        s.motd = DecodeMotd(motd);
        // The exact form counts only while it agrees with MotdLine: another
        // program may have changed that alone.
        const std::optional<QStringList> exact =
            DecodeMotdExact(file.GetFromINI(QStringLiteral("Last"), kExactMotdKey));
        if (exact && JoinMotdLines(*exact) == motd)
            s.motd = exact->join(QStringLiteral("\r\n"));
    }
}

StartupSettings restoreStartupSettings(const QString &path, const ServerSettings &starting)
{
    StartupSettings restored;
    restored.settings = starting;
    const LoadedLastSettings loaded = LastSettingsFile::load(path);
    restored.state = loaded.state;
    // A file that cannot be used would empty every box: keep them as they are.
    if (loaded.state == LoadedLastSettings::State::Unusable) {
        restored.notice = loaded.error + QStringLiteral("; the last settings were not restored.");
        return restored;
    }
    if (loaded.state == LoadedLastSettings::State::Missing)
        return restored;

    ServerSettings &settings = restored.settings;
    ::RestoreLastSettings(loaded.file, settings);
    QStringList problems;
    if (settings.motd.size() > kMaxRestoredMotdLength) {
        problems.append(QStringLiteral("The message of the day in %1 is too long to show (%2 characters, "
                                       "at most %3); it was left out.")
                            .arg(QFileInfo(path).fileName())
                            .arg(settings.motd.size())
                            .arg(kMaxRestoredMotdLength));
        settings.motd = starting.motd;
    }
    settings.motd = motdAsEditorHoldsIt(settings.motd);
    const std::pair<const char *, QString *> textValues[] = {
        {"ServerName", &settings.serverName},
        {"Location", &settings.location},
        {"URL", &settings.url},
        {"MaxUsers", &settings.maxUsers},
        {"Port", &settings.port},
        {"MinPing", &settings.minPing},
        {"FloodMsgNb", &settings.floodMsgNb},
        {"FloodMsgTime", &settings.floodMsgTime},
    };
    for (const auto &[key, value] : textValues) {
        const qsizetype length = value->size();
        if (cutToLength(*value, kMaxTextBoxLength)) {
            problems.append(QStringLiteral("%1 in %2 is too long for its box (%3 characters, at most %4); "
                                           "it was cut.")
                                .arg(QLatin1String(key), QFileInfo(path).fileName())
                                .arg(length)
                                .arg(kMaxTextBoxLength));
        }
    }
    restored.notice = problems.join(u'\n');
    return restored;
}
