#include "lastsettings.h"

#include "motdcodec.h"
#include "textlines.h"

#include <QFile>
#include <QStringDecoder>
#include <QStringView>

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

LastSettingsFile LastSettingsFile::load(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return LastSettingsFile(file.readAll());
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
    if (!motd.isEmpty())
        s.motd = DecodeMotd(motd);
}
