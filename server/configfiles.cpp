#include "configfiles.h"

#include "motdcodec.h"
#include "platformfiles.h"
#include "textlines.h"

#include <array>
#include <utility>

namespace {

const QString kNewLine = QStringLiteral("\r\n");

// A line break pasted into a one-line box would start a new key in the file;
// write it as the blank the box shows instead.
QString oneLine(const QString &value)
{
    return splitLines(value).join(u' ');
}

// A character that the system's 8-bit text cannot hold, and the key of the
// line that holds it.
struct Unwritable
{
    QString key;
    char32_t character = 0;
};

// The lines of one file, in the system's 8-bit text as they are added.
class LineWriter
{
public:
    void line(const QString &key, const QString &value) { add(key, key + u'=' + oneLine(value) + kNewLine); }
    void raw(const QString &text) { add({}, text); }
    const QByteArray &bytes() const { return m_bytes; }
    const std::optional<Unwritable> &unwritable() const { return m_unwritable; }

private:
    void add(const QString &key, const QString &text)
    {
        const EightBitText encoded = toEightBitText(text);
        m_bytes += encoded.bytes;
        if (encoded.unwritableAt >= 0 && !m_unwritable) {
            const QChar first = text.at(encoded.unwritableAt);
            const bool pair = first.isHighSurrogate() && encoded.unwritableAt + 1 < text.size() &&
                              text.at(encoded.unwritableAt + 1).isLowSurrogate();
            m_unwritable =
                Unwritable{key, pair ? QChar::surrogateToUcs4(first, text.at(encoded.unwritableAt + 1))
                                     : first.unicode()};
        }
    }

    QByteArray m_bytes;
    std::optional<Unwritable> m_unwritable;
};

QString publicValue(const ServerSettings &s)
{
    return s.isPublic ? QStringLiteral("1") : QStringLiteral("0");
}

void writeCommonHead(LineWriter &out, const ServerSettings &s)
{
    for (const TextSetting &setting : kLeadingTextSettings)
        out.line(setting.key, s.*setting.value);
    out.line(SettingsKey::Public, publicValue(s));
}

void writeFloodAndPing(LineWriter &out, const ServerSettings &s)
{
    for (const TextSetting &setting : kFloodTextSettings)
        out.line(setting.key, s.*setting.value);
}

void writeMaxConnSet(LineWriter &out, const ServerSettings &s)
{
    if (s.maxConnSet)
        out.line(SettingsKey::MaxConnSet, QString::number(*s.maxConnSet));
}

LineWriter serverConfigLines(const ServerSettings &s)
{
    LineWriter out;
    writeCommonHead(out, s);
    out.line(SettingsKey::Ip, s.ip);
    writeFloodAndPing(out, s);
    writeMaxConnSet(out, s);
    for (const QString &motdLine : SplitMotdLines(s.motd))
        out.line(SettingsKey::MotdLine, motdLine);
    out.raw(QStringLiteral("AllowWebAccess=1"));
    return out;
}

LineWriter lastSettingsLines(const ServerSettings &s)
{
    LineWriter out;
    out.raw(QStringLiteral("[Last]") + kNewLine);
    writeCommonHead(out, s);
    writeFloodAndPing(out, s);
    writeMaxConnSet(out, s);
    const QStringList motdLines = SplitMotdLines(s.motd);
    out.line(SettingsKey::MotdLine, JoinMotdLines(motdLines));
    // Only where the "@" form loses something, so that the file stays as
    // other programs of the server's world know it.
    if (MotdNeedsExactForm(motdLines))
        out.line(kExactMotdKey, EncodeMotdExact(motdLines));
    return out;
}

// The field a key's value comes from, by the window's name for it.
QString fieldName(const QString &key)
{
    if (key == SettingsKey::Url)
        return QStringLiteral("Web Page");
    if (key == SettingsKey::Port)
        return QStringLiteral("ServPort");
    if (key == SettingsKey::Ip)
        return QStringLiteral("IP Address");
    if (key == SettingsKey::MinPing)
        return QStringLiteral("MinPing(ms)");
    if (key == SettingsKey::FloodMsgNb || key == SettingsKey::FloodMsgTime)
        return QStringLiteral("Messages flood protection");
    if (key == SettingsKey::MotdLine || key == kExactMotdKey)
        return QStringLiteral("Message of the Day");
    return key;
}

// What speaks against writing the files at all, found before anything is
// written: a character the server could not read back as typed (it would
// become a "?"), or a folder that cannot be written.
std::optional<Result> refusalBeforeWriting(const QString &directory, const ServerSettings &settings)
{
    const std::pair<QString, LineWriter> files[] = {
        {kServerConfigFileName, serverConfigLines(settings)},
        {kLastSettingsFileName, lastSettingsLines(settings)},
    };
    for (const auto &[name, lines] : files) {
        const std::optional<Unwritable> &unwritable = lines.unwritable();
        if (!unwritable)
            continue;
        const QString code =
            QStringLiteral("U+%1").arg(uint(unwritable->character), 4, 16, QChar(u'0')).toUpper();
        const QString character =
            QChar::isPrint(unwritable->character)
                ? QStringLiteral("\"%1\" (%2)").arg(QString::fromUcs4(&unwritable->character, 1), code)
                : code;
        return Result::failure(QStringLiteral("Could not write %1: %2 holds %3, a character that %4 cannot "
                                              "hold. Nothing was written: take it out, or put one there "
                                              "that the code page holds.")
                                   .arg(name, fieldName(unwritable->key), character, eightBitTextName()));
    }
    const QString folder = folderRefusalReason(directory);
    if (!folder.isEmpty())
        return Result::failure(folder);
    return std::nullopt;
}

} // namespace

QByteArray WriteServerConfig(const ServerSettings &s)
{
    return serverConfigLines(s).bytes();
}

QByteArray WriteLastSettings(const ServerSettings &s)
{
    return lastSettingsLines(s).bytes();
}

Result writeSettingsFiles(const QString &directory, const ServerSettings &settings)
{
    if (const std::optional<Result> refused = refusalBeforeWriting(directory, settings))
        return *refused;
    const std::array<std::pair<QString, QByteArray>, 2> files{{
        {kServerConfigFileName, WriteServerConfig(settings)},
        {kLastSettingsFileName, WriteLastSettings(settings)},
    }};
    const auto failed = [&](size_t file, const QString &reason) {
        return Result::failure(QStringLiteral("Could not write %1: %2").arg(files[file].first, reason));
    };
    // Write both completely before replacing either, so that a full disk or a
    // read-only directory leaves both old files as they were.
    std::array<StagedFile, 2> staged;
    for (size_t i = 0; i < files.size(); ++i) {
        if (const QString reason = staged[i].write(directory, files[i].first, files[i].second);
            !reason.isEmpty())
            return failed(i, reason);
    }
    for (size_t i = 0; i < files.size(); ++i) {
        if (const QString reason = staged[i].commit(); !reason.isEmpty())
            return failed(i, reason);
    }
    return Result::success();
}
