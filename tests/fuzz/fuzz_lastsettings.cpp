// Any bytes as the last-settings file: reading and restoring never fail, and
// every value read is the one a plain reader, written here from the reading
// rules alone, finds.

#include "lastsettings.h"
#include "reference.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trimBlanks(std::string_view s)
{
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char asciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool sameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    }
    return true;
}

// Whether the line opens a section, and its name.
bool opensSection(std::string_view line, std::string_view &name)
{
    const std::string_view s = trimBlanks(line);
    const std::size_t close = s.find(']');
    if (s.empty() || s[0] != '[' || close == std::string_view::npos)
        return false;
    name = trimBlanks(s.substr(1, close - 1));
    return true;
}

class ReferenceIni
{
public:
    struct Line
    {
        enum Kind
        {
            Section,
            Comment,
            Entry,
            Other, // opens no section and holds no "="
        };
        Kind kind = Other;
        std::string_view name; // of the section, or the key
        std::string_view value;
    };

    // The lines point into the text it holds.
    ReferenceIni(const ReferenceIni &) = delete;
    ReferenceIni &operator=(const ReferenceIni &) = delete;

    explicit ReferenceIni(const std::string &bytes)
    {
        const std::string bom = "\xEF\xBB\xBF";
        const bool hasBom = bytes.compare(0, bom.size(), bom) == 0;
        m_text = ref::lines(ref::validUtf8(hasBom ? bytes.substr(bom.size()) : bytes));
        for (const std::string &text : m_text) {
            Line line;
            const std::size_t equals = text.find('=');
            if (opensSection(text, line.name)) {
                line.kind = Line::Section;
            } else if (equals != std::string::npos) {
                // A comment keeps its would-be key, to look up and miss.
                line.kind = trimBlanks(text).substr(0, 1) == ";" ? Line::Comment : Line::Entry;
                line.name = trimBlanks(std::string_view(text).substr(0, equals));
                line.value = std::string_view(text).substr(equals + 1);
            }
            m_lines.push_back(line);
        }
    }

    const std::vector<Line> &lines() const { return m_lines; }

    std::string get(std::string_view section, std::string_view key) const
    {
        std::size_t i = 0;
        while (i < m_lines.size() &&
               !(m_lines[i].kind == Line::Section && sameName(m_lines[i].name, section)))
            ++i;
        // Only the first section of that name counts: stop at the next one of any name.
        for (++i; i < m_lines.size() && m_lines[i].kind != Line::Section; ++i) {
            if (m_lines[i].kind == Line::Entry && sameName(m_lines[i].name, key))
                return std::string(m_lines[i].value);
        }
        return {};
    }

private:
    std::vector<std::string> m_text;
    std::vector<Line> m_lines;
};

// The value without the white space Qt trims around a number.
std::string trimSpace(const std::string &value)
{
    const QString s = ref::decode(value);
    qsizetype begin = 0;
    qsizetype end = s.size();
    while (begin < end && s.at(begin).isSpace())
        ++begin;
    while (end > begin && s.at(end - 1).isSpace())
        --end;
    return ref::utf8(s.mid(begin, end - begin));
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A whole number from 0 to 6 in decimal digits, with an optional sign.
std::optional<int> connectionSetting(const std::string &value)
{
    const std::string s = trimSpace(value);
    std::size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
    const bool negative = i == 1 && s[0] == '-';
    if (i == s.size())
        return std::nullopt;
    int number = 0;
    for (; i < s.size(); ++i) {
        if (!isDigit(s[i]))
            return std::nullopt;
        number = std::min(number * 10 + (s[i] - '0'), 1000);
    }
    if (number > 6 || (negative && number != 0))
        return std::nullopt;
    return number;
}

// A number as Qt reads one in the C locale: a decimal with an optional
// exponent, or inf or nan; out of the range of a double is no number.
std::optional<double> number(const std::string &value)
{
    const std::string s = trimSpace(value);
    std::string lower;
    for (const char c : s)
        lower += asciiLower(c);
    if (lower == "inf" || lower == "+inf" || lower == "-inf")
        return lower[0] == '-' ? -HUGE_VAL : HUGE_VAL;
    if (lower == "nan")
        return NAN;

    std::size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
    std::size_t digits = 0;
    bool nonZero = false;
    for (; i < s.size() && isDigit(s[i]); ++i, ++digits)
        nonZero = nonZero || s[i] != '0';
    if (i < s.size() && s[i] == '.') {
        for (++i; i < s.size() && isDigit(s[i]); ++i, ++digits)
            nonZero = nonZero || s[i] != '0';
    }
    if (digits == 0)
        return std::nullopt;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            ++i;
        if (i == s.size() || !isDigit(s[i]))
            return std::nullopt;
        while (i < s.size() && isDigit(s[i]))
            ++i;
    }
    if (i != s.size())
        return std::nullopt;
    const double result = std::strtod(s.c_str(), nullptr);
    if (std::isinf(result) || (result == 0 && nonZero))
        return std::nullopt;
    return result;
}

ServerSettings expectedRestore(const ReferenceIni &ini, ServerSettings s)
{
    const auto text = [&ini](const char *key) {
        return ref::decode(ini.get("Last", key));
    };
    s.serverName = text("ServerName");
    s.location = text("Location");
    s.url = text("URL");
    s.maxUsers = text("MaxUsers");
    s.port = text("Port");
    s.minPing = text("MinPing");
    s.floodMsgTime = text("FloodMsgTime");
    s.floodMsgNb = text("FloodMsgNb");
    if (const auto connection = connectionSetting(ini.get("Last", "MaxConnSet")))
        s.maxConnSet = *connection;
    if (const auto isPublic = number(ini.get("Last", "Public")))
        s.isPublic = *isPublic == 1.0;
    const std::string motd = ini.get("Last", "MotdLine");
    std::vector<std::string> exact;
    if (!motd.empty())
        s.motd = ref::decode(ref::decodeMotd(motd));
    // The exact form, where it agrees with MotdLine.
    if (!motd.empty() && ref::exactMotdLines(ini.get("Last", "MotdText"), &exact) &&
        ref::validUtf8(ref::join(exact, "@") + "@") == ref::validUtf8(motd))
        s.motd = ref::decode(ref::join(exact, "\r\n"));
    return s;
}

std::string describe(const ServerSettings &s)
{
    const std::string connection = s.maxConnSet ? std::to_string(*s.maxConnSet) : "none";
    return ref::utf8(QStringList{s.serverName, s.location, s.url, s.maxUsers, s.port, s.ip, s.floodMsgNb,
                                 s.floodMsgTime, s.minPing, s.motd}
                         .join(u'|')) +
           "|public=" + (s.isPublic ? "1" : "0") + "|conn=" + connection;
}

std::string swapAsciiCase(std::string s)
{
    for (char &c : s) {
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    const LastSettingsFile file(QByteArray(bytes.data(), qsizetype(bytes.size())));
    const ReferenceIni ini(bytes);

    const auto check = [&](const std::string &section, const std::string &key) {
        const std::string got = ref::utf8(file.GetFromINI(ref::decode(section), ref::decode(key)));
        const std::string expected = ini.get(section, key);
        if (got != expected)
            ref::fail(("GetFromINI(\"" + section + "\", \"" + key + "\")").c_str(), got, expected);
    };
    for (const char *key : {"ServerName", "Location", "URL", "MaxUsers", "Port", "MinPing", "FloodMsgTime",
                            "FloodMsgNb", "MaxConnSet", "Public", "MotdLine", "IP"})
        check("Last", key);

    // Names taken from the file itself, as written and in the other case, so
    // that lookups of odd names hit as well as miss.
    std::string section = "Last";
    const std::size_t named = std::min<std::size_t>(ini.lines().size(), 16);
    for (std::size_t i = 0; i < named; ++i) {
        const ReferenceIni::Line &line = ini.lines()[i];
        if (line.kind == ReferenceIni::Line::Section) {
            section = line.name;
        } else if (line.kind != ReferenceIni::Line::Other) {
            const std::string key(line.name);
            check(section, key);
            check(swapAsciiCase(section), swapAsciiCase(key));
        }
    }

    // Start from settings unlike any file, varied by the input's length.
    ServerSettings before;
    before.isPublic = size % 2 == 0;
    before.maxConnSet = size % 4 < 2 ? std::optional<int>(3) : std::nullopt;
    before.ip = QStringLiteral("198.51.100.1");
    before.motd = QStringLiteral("kept");
    ServerSettings restored = before;
    RestoreLastSettings(file, restored);
    const ServerSettings expected = expectedRestore(ini, before);
    if (restored != expected)
        ref::fail("RestoreLastSettings", describe(restored), describe(expected));
    return 0;
}
