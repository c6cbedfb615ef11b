#include "configfiles.h"

#include "motdcodec.h"
#include "textlines.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#if defined(Q_OS_UNIX)
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <array>
#include <memory>
#include <optional>

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

#if defined(Q_OS_UNIX)
QString userName(uid_t uid)
{
    passwd entry{};
    passwd *found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        return QStringLiteral("%1 (uid %2)").arg(QString::fromLocal8Bit(found->pw_name)).arg(uid);
    return QStringLiteral("uid %1").arg(uid);
}

// QSaveFile writes through a link at the final name, into the file it points
// at. In a folder others may write to, a link another user planted there would
// have Start overwrite any file of the operator's; so, like the kernel's
// protected_symlinks in sticky folders, only links of the user's own or of
// root's are followed. Every link of a chain is checked, dangling ones too.
// Empty when the name may be written.
QString untrustedLinkReason(const QString &path)
{
    QString current = path;
    // QSaveFile stops following after as many links.
    for (int depth = 0; depth < 128; ++depth) {
        struct stat st
        {
        };
        if (::lstat(QFile::encodeName(current).constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            return {};
        if (st.st_uid != ::geteuid() && st.st_uid != 0) {
            const QString rule = QStringLiteral("Start follows only links of your own or root's.");
            if (current == path)
                return QStringLiteral("it is a link that another user, %1, made; %2 Remove the link, or make "
                                      "it yourself.")
                    .arg(userName(st.st_uid), rule);
            return QStringLiteral("its link leads on through %1, a link that another user, %2, made; %3")
                .arg(QDir::toNativeSeparators(current), userName(st.st_uid), rule);
        }
        current = QFileInfo(current).symLinkTarget();
    }
    return {};
}
#else
// Windows lets only administrators (or developer mode) make links, and has no
// sticky folders shared by every user.
QString untrustedLinkReason(const QString &)
{
    return {};
}
#endif

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
    const QStringList motdLines = SplitMotdLines(s.motd);
    out.line(QStringLiteral("MotdLine"), JoinMotdLines(motdLines));
    // Only where the "@" form loses something, so that the file stays as
    // other programs of the server's world know it.
    if (MotdNeedsExactForm(motdLines))
        out.line(kExactMotdKey, EncodeMotdExact(motdLines));
    return out.bytes();
}

Result writeSettingsFiles(const QString &directory, const ServerSettings &settings,
                          const std::function<void()> &written)
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

    const auto failedWith = [](const Pending &p, const QString &reason) {
        return Result::failure(QStringLiteral("Could not write %1: %2").arg(p.name, reason));
    };
    const auto failed = [&](const Pending &p) {
        return failedWith(p, p.file->errorString());
    };
    const QDir dir(directory);
    // Both names before either file is written, and again before either is
    // replaced, as a link may be planted while they are written.
    const auto checkLinks = [&]() -> std::optional<Result> {
        for (const Pending &p : files) {
            const QString reason = untrustedLinkReason(dir.filePath(p.name));
            if (!reason.isEmpty())
                return failedWith(p, reason);
        }
        return std::nullopt;
    };

    if (const auto refused = checkLinks())
        return *refused;
    // Write both completely before replacing either, so that a full disk or a
    // read-only directory leaves both old files as they were.
    for (Pending &p : files) {
        p.file = std::make_unique<QSaveFile>(dir.filePath(p.name));
        if (!p.file->open(QIODevice::WriteOnly) || p.file->write(p.bytes) != p.bytes.size() ||
            !p.file->flush())
            return failed(p);
    }
    if (written)
        written();
    if (const auto refused = checkLinks())
        return *refused;
    for (Pending &p : files) {
        if (!p.file->commit())
            return failed(p);
    }
    return Result::success();
}
