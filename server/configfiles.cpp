#include "configfiles.h"

#include "motdcodec.h"
#include "textlines.h"

#include <QDir>
#include <QSaveFile>

#include <array>
#include <memory>

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
    out.line(QStringLiteral("ServerName"), s.serverName);
    out.line(QStringLiteral("Location"), s.location);
    out.line(QStringLiteral("URL"), s.url);
    out.line(QStringLiteral("MaxUsers"), s.maxUsers);
    out.line(QStringLiteral("Port"), s.port);
    out.line(QStringLiteral("Public"), publicValue(s));
}

void writeMaxConnSet(LineWriter &out, const ServerSettings &s)
{
    if (s.maxConnSet)
        out.line(QStringLiteral("MaxConnSet"), QString::number(*s.maxConnSet));
}

} // namespace

QByteArray WriteServerConfig(const ServerSettings &s)
{
    LineWriter out;
    writeCommonHead(out, s);
    out.line(QStringLiteral("IP"), s.ip);
    out.line(QStringLiteral("FloodMsgNb"), s.floodMsgNb);
    out.line(QStringLiteral("FloodMsgTime"), s.floodMsgTime);
    out.line(QStringLiteral("MinPing"), s.minPing);
    writeMaxConnSet(out, s);
    for (const QString &motdLine : SplitMotdLines(s.motd))
        out.line(QStringLiteral("MotdLine"), motdLine);
    out.raw(QStringLiteral("AllowWebAccess=1"));
    return out.bytes();
}

QByteArray WriteLastSettings(const ServerSettings &s)
{
    LineWriter out;
    out.raw(QStringLiteral("[Last]") + kNewLine);
    writeCommonHead(out, s);
    out.line(QStringLiteral("FloodMsgNb"), s.floodMsgNb);
    out.line(QStringLiteral("FloodMsgTime"), s.floodMsgTime);
    out.line(QStringLiteral("MinPing"), s.minPing);
    writeMaxConnSet(out, s);
    out.line(QStringLiteral("MotdLine"), JoinMotdLines(SplitMotdLines(s.motd)));
    return out.bytes();
}

Result writeSettingsFiles(const QString &directory, const ServerSettings &settings)
{
    struct Pending
    {
        QString name;
        QByteArray bytes;
        std::unique_ptr<QSaveFile> file;
    };
    std::array<Pending, 2> files{{
        {kServerConfigFileName, WriteServerConfig(settings), nullptr},
        {kLastSettingsFileName, WriteLastSettings(settings), nullptr},
    }};

    const auto failed = [](const Pending &p) {
        return Result::failure(QStringLiteral("Could not write %1: %2").arg(p.name, p.file->errorString()));
    };

    // Write both completely before replacing either, so that a full disk or a
    // read-only directory leaves both old files as they were.
    const QDir dir(directory);
    for (Pending &p : files) {
        p.file = std::make_unique<QSaveFile>(dir.filePath(p.name));
        if (!p.file->open(QIODevice::WriteOnly) || p.file->write(p.bytes) != p.bytes.size() ||
            !p.file->flush())
            return failed(p);
    }
    for (Pending &p : files) {
        if (!p.file->commit())
            return failed(p);
    }
    return Result::success();
}
