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

class LineWriter
{
public:
    void line(const QString &key, const QString &value) { m_text += key + u'=' + oneLine(value) + kNewLine; }
    void raw(const QString &text) { m_text += text; }
    QByteArray bytes() const { return m_text.toUtf8(); }

private:
    QString m_text;
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

} // namespace

QByteArray WriteServerConfig(const ServerSettings &s)
{
    LineWriter out;
    writeCommonHead(out, s);
    out.line(SettingsKey::Ip, s.ip);
    writeFloodAndPing(out, s);
    writeMaxConnSet(out, s);
    for (const QString &motdLine : SplitMotdLines(s.motd))
        out.line(SettingsKey::MotdLine, motdLine);
    out.raw(QStringLiteral("AllowWebAccess=1"));
    return out.bytes();
}

QByteArray WriteLastSettings(const ServerSettings &s)
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
    return out.bytes();
}

Result writeSettingsFiles(const QString &directory, const ServerSettings &settings)
{
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
