// Any settings through the two writers: every line of both files ends in CR LF
// and holds no other line break, the configuration has one MotdLine per
// message line, and the last-settings file reads back as written.
//
// The input: one byte of choices, then the text fields separated by "|" in the
// order of `fields` below; the message takes the rest, "|" included. In the
// choice byte, bit 0 selects Internet and bits 1-3 the connection setting (7:
// none), so "A" is Internet and 0, "L" Lan and 6, "O" Internet and none.

#include "configfiles.h"
#include "lastsettings.h"
#include "motdcodec.h"
#include "reference.h"

#include <algorithm>
#include <cstdint>

namespace {

// A line break in a one-line value is written as one blank.
std::string oneLine(const QString &value)
{
    return ref::join(ref::lines(ref::utf8(value)), " ");
}

// The lines of a file where every line, the last one included, ends in CR LF.
std::vector<std::string> crLfLines(const std::string &text, const char *file)
{
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t end; (end = text.find("\r\n", from)) != std::string::npos; from = end + 2)
        lines.push_back(text.substr(from, end - from));
    if (from != text.size())
        ref::fail((std::string(file) + ": the last line does not end in CR LF").c_str(), text.substr(from),
                  "");
    for (const std::string &line : lines) {
        if (line.find_first_of("\r\n") != std::string::npos)
            ref::fail((std::string(file) + ": a line break inside a line").c_str(), line, "");
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    ServerSettings s;
    s.isPublic = (data[0] & 1) != 0;
    const int connection = (data[0] >> 1) % 8;
    s.maxConnSet = connection < kConnectionSettingCount ? std::optional<int>(connection) : std::nullopt;

    struct Field
    {
        const char *key;
        QString *value;
        std::string written; // as one line
    };
    Field fields[] = {{"ServerName", &s.serverName, {}},
                      {"Location", &s.location, {}},
                      {"URL", &s.url, {}},
                      {"MaxUsers", &s.maxUsers, {}},
                      {"Port", &s.port, {}},
                      {"IP", &s.ip, {}},
                      {"FloodMsgNb", &s.floodMsgNb, {}},
                      {"FloodMsgTime", &s.floodMsgTime, {}},
                      {"MinPing", &s.minPing, {}}};
    const std::string rest(reinterpret_cast<const char *>(data) + 1, size - 1);
    std::size_t from = 0;
    for (Field &field : fields) {
        const std::size_t bar = std::min(rest.find('|', from), rest.size());
        *field.value = ref::decode(rest.substr(from, bar - from));
        field.written = oneLine(*field.value);
        from = std::min(bar + 1, rest.size());
    }
    s.motd = ref::decode(rest.substr(from));

    const std::string publicValue = s.isPublic ? "1" : "0";
    const std::string connectionValue = s.maxConnSet ? std::to_string(*s.maxConnSet) : "";
    const std::vector<std::string> motdLines = ref::lines(ref::utf8(s.motd));

    // The configuration, line by line; its last line has no line break.
    std::vector<std::string> expected;
    for (const Field &field : fields) {
        if (field.value == &s.ip)
            expected.push_back("Public=" + publicValue);
        expected.push_back(field.key + ("=" + field.written));
    }
    if (s.maxConnSet)
        expected.push_back("MaxConnSet=" + connectionValue);
    for (const std::string &line : motdLines)
        expected.push_back("MotdLine=" + line);
    expected.push_back("AllowWebAccess=1");

    const std::vector<std::string> conf = crLfLines(WriteServerConfig(s).toStdString() + "\r\n", "conf");
    std::size_t motdLineCount = 0;
    for (const std::string &line : conf)
        motdLineCount += line.compare(0, 9, "MotdLine=") == 0 ? 1 : 0;
    ref::require(motdLineCount == std::size_t(SplitMotdLines(s.motd).size()),
                 "one MotdLine per message line");
    if (conf != expected)
        ref::fail("configuration", ref::join(conf, "\n"), ref::join(expected, "\n"));

    // The last-settings file reads back as written; the IP address is not in it.
    const QByteArray iniBytes = WriteLastSettings(s);
    const std::vector<std::string> ini = crLfLines(iniBytes.toStdString(), "ini");
    ref::require(!ini.empty(), "the last settings are not empty");
    ref::requireEqual("first line of the last settings", ini.front(), "[Last]");
    const LastSettingsFile file(iniBytes);
    const auto readBack = [&file](const char *key, const std::string &value) {
        const std::string got = ref::utf8(file.GetFromINI(QStringLiteral("Last"), QString::fromLatin1(key)));
        if (got != value)
            ref::fail(key, got, value);
    };
    for (const Field &field : fields)
        readBack(field.key, field.value == &s.ip ? std::string() : field.written);
    readBack("Public", publicValue);
    readBack("MaxConnSet", connectionValue);
    std::string stored;
    for (const std::string &line : motdLines)
        stored += line + "@";
    readBack("MotdLine", stored);
    return 0;
}
