#include "standinconfig.h"

#include <QDir>
#include <QFile>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

// A settings file is a few hundred bytes; the cap keeps a mistaken special
// file (/dev/zero behind a link) from being read without end.
constexpr qint64 kMaxFileSize = 1024 * 1024;

const QString kMotdKey = QStringLiteral("MotdLine");

QString trimBlanks(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && (text[begin] == u' ' || text[begin] == u'\t'))
        ++begin;
    while (end > begin && (text[end - 1] == u' ' || text[end - 1] == u'\t'))
        --end;
    return text.mid(begin, end - begin);
}

// Only the characters of a numeric address pass to inet_pton, which reads a
// C string: a NUL inside the value would hide whatever follows it.
bool isIpLiteral(const QString &text, std::string *ip)
{
    for (const QChar ch : text) {
        const bool allowed = (ch >= u'0' && ch <= u'9') || (ch >= u'a' && ch <= u'f') ||
                             (ch >= u'A' && ch <= u'F') || ch == u'.' || ch == u':';
        if (!allowed)
            return false;
    }
    *ip = text.toStdString();
    in6_addr buffer{};
    return inet_pton(AF_INET, ip->c_str(), &buffer) == 1 || inet_pton(AF_INET6, ip->c_str(), &buffer) == 1;
}

std::optional<int> parsePort(const QString &text)
{
    if (text.isEmpty())
        return std::nullopt;
    int port = 0;
    for (const QChar ch : text) {
        if (ch < u'0' || ch > u'9')
            return std::nullopt;
        port = port * 10 + (ch.unicode() - u'0');
        if (port > 65535)
            return std::nullopt;
    }
    if (port == 0)
        return std::nullopt;
    return port;
}

} // namespace

QString printable(const QString &text, qsizetype maxLength)
{
    QString shown = text.left(maxLength);
    for (QChar &ch : shown) {
        if (ch.category() == QChar::Other_Control || ch == QChar::LineSeparator ||
            ch == QChar::ParagraphSeparator)
            ch = u'?';
    }
    if (text.size() > maxLength)
        shown += u'\u2026';
    return shown;
}

const QStringList &StandinConfig::singleKeys()
{
    static const QStringList keys = {
        QStringLiteral("ServerName"), QStringLiteral("Location"),   QStringLiteral("URL"),
        QStringLiteral("MaxUsers"),   QStringLiteral("Port"),       QStringLiteral("Public"),
        QStringLiteral("IP"),         QStringLiteral("FloodMsgNb"), QStringLiteral("FloodMsgTime"),
        QStringLiteral("MinPing"),    QStringLiteral("MaxConnSet"), QStringLiteral("AllowWebAccess"),
    };
    return keys;
}

std::optional<StandinConfig> StandinConfig::load(QString *error)
{
    const auto fail = [error](const QString &reason) {
        *error = QStringLiteral("cannot read %1 in %2: %3")
                     .arg(kFileName, printable(QDir::currentPath(), 300), reason);
        return std::nullopt;
    };

    QFile file(kFileName);
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());
    const QByteArray data = file.read(kMaxFileSize + 1);
    if (file.error() != QFileDevice::NoError)
        return fail(file.errorString());
    if (data.size() > kMaxFileSize)
        return fail(QStringLiteral("larger than 1 MiB"));
    return parse(data);
}

StandinConfig StandinConfig::parse(const QByteArray &data)
{
    // fromUtf8 also drops a leading byte order mark, which some editors add.
    QString text = QString::fromUtf8(data);
    // CR LF, LF and a lone CR each end a line.
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(u'\r', u'\n');

    // Lines without "=" and unknown keys are skipped. A repeated key replaces
    // the earlier value, as if the operator had appended a correction.
    StandinConfig config;
    for (const QString &line : text.split(u'\n')) {
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            continue;
        const QString key = line.left(equals);
        const QString value = line.mid(equals + 1);
        if (key == kMotdKey)
            config.m_motdLines.append(value);
        else if (singleKeys().contains(key))
            config.m_values.insert(key, value);
    }
    return config;
}

std::optional<QString> StandinConfig::value(const QString &key) const
{
    const auto it = m_values.constFind(key);
    if (it == m_values.constEnd())
        return std::nullopt;
    return *it;
}

std::optional<ListenAddress> StandinConfig::listenAddress(QString *error) const
{
    ListenAddress address;

    const std::optional<QString> ip = value(QStringLiteral("IP"));
    if (!ip) {
        *error = QStringLiteral("no IP line in %1").arg(kFileName);
        return std::nullopt;
    }
    if (!isIpLiteral(trimBlanks(*ip), &address.ip)) {
        *error =
            QStringLiteral("IP \"%1\" in %2 is not an IPv4 or IPv6 address").arg(printable(*ip), kFileName);
        return std::nullopt;
    }

    const std::optional<QString> port = value(QStringLiteral("Port"));
    if (!port) {
        *error = QStringLiteral("no Port line in %1").arg(kFileName);
        return std::nullopt;
    }
    const std::optional<int> number = parsePort(trimBlanks(*port));
    if (!number) {
        *error = QStringLiteral("Port \"%1\" in %2 is not a number from 1 to 65535")
                     .arg(printable(*port), kFileName);
        return std::nullopt;
    }
    address.port = *number;
    return address;
}
