#include "lastsettings.h"

#include "motdcodec.h"
#include "platformfiles.h"
#include "textlines.h"

#include <QFile>
#include <QFileInfo>
#include <QStringView>

#include <utility>

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
    : m_lines(splitLines(fromEightBitText(contents)))
{}

LoadedLastSettings LastSettingsFile::load(const QString &path)
{
    const SmallFileRead read = readSmallRegularFile(path, kMaxLastSettingsFileSize);
    switch (read.state) {
    case SmallFileRead::State::Missing:
        break;
    case SmallFileRead::State::Unusable:
        return {LoadedLastSettings::State::Unusable,
                {},
                QStringLiteral("Could not read %1: %2").arg(QFileInfo(path).fileName(), read.reason)};
    case SmallFileRead::State::Read:
        return {LoadedLastSettings::State::Read, LastSettingsFile(read.contents), {}};
    }
    return {};
}

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
    // The section is asked for as "Last" and as "last": the reader matches
    // it in any letter case.
    const auto get = [&file](const char *section, const QString &key) {
        return file.GetFromINI(QString::fromLatin1(section), key);
    };
    s.serverName = get("Last", SettingsKey::ServerName);
    s.location = get("Last", SettingsKey::Location);
    s.url = get("Last", SettingsKey::Url);
    s.maxUsers = get("Last", SettingsKey::MaxUsers);
    s.port = get("Last", SettingsKey::Port);
    s.minPing = get("Last", SettingsKey::MinPing);
    s.floodMsgTime = get("last", SettingsKey::FloodMsgTime);
    s.floodMsgNb = get("Last", SettingsKey::FloodMsgNb);

    bool ok = false;
    const QString connectionText = get("last", SettingsKey::MaxConnSet).trimmed();
    // toInt stops at a NUL, which would read "6<NUL>junk" as 6.
    const int connection = connectionText.contains(QChar()) ? -1 : connectionText.toInt(&ok, 10);
    if (ok && connection >= 0 && connection < kConnectionSettingCount)
        s.maxConnSet = connection;

    const double isPublic = get("Last", SettingsKey::Public).trimmed().toDouble(&ok);
    if (ok)
        s.isPublic = (isPublic == 1.0);

    const QString motd = get("last", SettingsKey::MotdLine);
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
    const auto cutForItsBox = [&](const TextSetting &setting) {
        QString &value = settings.*setting.value;
        const qsizetype length = value.size();
        if (cutToLength(value, kMaxTextBoxLength)) {
            problems.append(QStringLiteral("%1 in %2 is too long for its box (%3 characters, at most %4); "
                                           "it was cut.")
                                .arg(setting.key, QFileInfo(path).fileName())
                                .arg(length)
                                .arg(kMaxTextBoxLength));
        }
    };
    for (const TextSetting &setting : kLeadingTextSettings)
        cutForItsBox(setting);
    for (const TextSetting &setting : kFloodTextSettings)
        cutForItsBox(setting);
    restored.notice = problems.join(u'\n');
    return restored;
}
