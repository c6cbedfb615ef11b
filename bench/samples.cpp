#include "samples.h"

#include "configfiles.h"

#include <random>

namespace bench {

namespace {

template <size_t N> QByteArray bytesOf(const char (&literal)[N])
{
    return QByteArray(literal, qsizetype(N - 1));
}

const char16_t *const kWords[] = {
    u"welcome",  u"to",    u"the",    u"server", u"please",  u"be",      u"kind",   u"no",
    u"cheating", u"rules", u"map",    u"vote",   u"tonight", u"league",  u"match",  u"at",
    u"20:00",    u"UTC",   u"join",   u"our",    u"forum",   u"for",     u"news",   u"and",
    u"events",   u"café",  u"Zürich", u"naïve",  u"team",    u"players", u"admins", u"contact",
    u"restart",  u"daily", u"04:30",  u"have",   u"fun",     u"good",    u"luck",   u"—",
};

} // namespace

QString messageText(qsizetype utf8Bytes, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> lineLength(40, 80);
    std::uniform_int_distribution<size_t> word(0, sizeof kWords / sizeof kWords[0] - 1);
    QString text;
    text.reserve(utf8Bytes + 100);
    qsizetype bytes = 0;
    while (bytes < utf8Bytes) {
        const int length = lineLength(random);
        QString line;
        while (line.size() < length) {
            if (!line.isEmpty())
                line += u' ';
            line += QString::fromUtf16(kWords[word(random)]);
        }
        line.truncate(length);
        line += QStringLiteral("\r\n");
        bytes += line.toUtf8().size();
        text += line;
    }
    return text;
}

ServerSettings realisticSettings()
{
    ServerSettings s;
    s.serverName = QStringLiteral("Quillmere Central — EU #2");
    s.location = QStringLiteral("Lisbon, Portugal");
    s.url = QStringLiteral("http://quillmere.example.org/servers/eu2/");
    s.maxUsers = QStringLiteral("64");
    s.port = QStringLiteral("27888");
    s.isPublic = true;
    s.floodMsgNb = QStringLiteral("4");
    s.floodMsgTime = QStringLiteral("6");
    s.minPing = QStringLiteral("20");
    s.maxConnSet = 3;
    s.motd = messageText(400, 7);
    s.motd.chop(2); // the box holds no break after its last line
    return s;
}

QByteArray realisticLastSettings()
{
    return WriteLastSettings(realisticSettings());
}

QByteArray paddedLastSettings(qsizetype bytes, bool withLast)
{
    const QByteArray last = realisticLastSettings();
    QByteArray file;
    file.reserve(bytes + last.size() + 4096);
    std::mt19937 random(3);
    std::uniform_int_distribution<int> keys(3, 12);
    const auto section = [&](int n) {
        file += "[Profile" + QByteArray::number(n) + "]\r\n";
        const int count = keys(random);
        for (int k = 0; k < count; ++k) {
            if (k % 5 == 4)
                file += "; kept from an older set-up\r\n";
            file += "Key" + QByteArray::number(k) + '=' +
                    messageText(30 + random() % 60, random()).trimmed().toUtf8() + "\r\n";
        }
        file += "\r\n";
    };
    int n = 0;
    // Most of the padding before the last settings, a little after them.
    while (file.size() < bytes * 95 / 100)
        section(n++);
    if (withLast)
        file += last + "\r\n";
    while (file.size() < bytes)
        section(n++);
    return file;
}

std::vector<HostileFile> hostileLastSettings()
{
    std::vector<HostileFile> files;
    std::mt19937 random(11);

    // One line of 10 MB, three ways: no key at all; the message of the day
    // on one line; the message of the day of 10 MB in lines of 40 to 80
    // characters.
    const QByteArray tenMegabytes =
        messageText(10 * 1000 * 1000, 5).replace(QStringLiteral("\r\n"), QStringLiteral(" ")).toUtf8();
    files.push_back({"a line of 10 MB, not a key", tenMegabytes + "\r\n[Last]\r\nServerName=Quillmere\r\n"});
    files.push_back({"a line of 10 MB, the message", "[Last]\r\nMotdLine=" + tenMegabytes + "\r\n"});
    {
        QByteArray line = "[Last]\r\nServerName=Quillmere\r\nMotdLine=";
        line +=
            messageText(10 * 1000 * 1000, 5).replace(QStringLiteral("\r\n"), QStringLiteral("@")).toUtf8();
        files.push_back({"a line of 10 MB, a message of 170 000 lines", line});
    }
    // Binary junk, with a section header and line breaks here and there.
    {
        QByteArray junk = "[Last]\r\n";
        std::uniform_int_distribution<int> byte(0, 255);
        while (junk.size() < 4 * 1000 * 1000)
            junk += char(byte(random));
        files.push_back({"4 MB of binary junk", junk});
    }
    // NUL bytes inside the keys and values, and a megabyte of them.
    {
        QByteArray nuls = bytesOf("[Last]\r\nServerName=Quill\0mere\r\nMax\0Users=6\0 4\r\n");
        nuls += QByteArray(1000 * 1000, '\0');
        nuls += bytesOf("\r\nPort=27\0"
                        "888\r\nMotdLine=a\0b@c@\r\n");
        files.push_back({"NUL bytes", nuls});
    }
    // 100 000 sections, the last settings after all of them.
    {
        QByteArray many;
        for (int i = 0; i < 100000; ++i)
            many += "[S" + QByteArray::number(i) + "]\r\nKey=Value " + QByteArray::number(i) + "\r\n";
        many += realisticLastSettings();
        files.push_back({"100 000 sections", many});
    }
    // Plenty of other sections, none of them the last settings.
    files.push_back({"no [Last] section", paddedLastSettings(1000 * 1000, false)});
    return files;
}

} // namespace bench
