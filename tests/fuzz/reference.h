#pragma once

// Plain helpers shared by the fuzz targets. They restate the rules with
// std::string and loops and use none of the code under test, so that a fault
// there cannot hide itself by agreeing with its own reference.

#include <QString>
#include <QStringDecoder>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace ref {

// Prints the input's fault and stops, so that libFuzzer keeps the input.
inline void fail(const char *what, const std::string &got, const std::string &expected)
{
    const auto show = [](const std::string &s) {
        std::string out;
        for (const unsigned char c : s) {
            if (c >= 0x20 && c < 0x7f && c != '\\') {
                out += char(c);
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            }
        }
        return out;
    };
    std::fprintf(stderr, "%s\n     got: \"%s\"\nexpected: \"%s\"\n", what, show(got).c_str(),
                 show(expected).c_str());
    std::abort();
}

inline void require(bool ok, const char *what)
{
    if (!ok)
        fail(what, "false", "true");
}

inline void requireEqual(const char *what, const std::string &got, const std::string &expected)
{
    if (got != expected)
        fail(what, got, expected);
}

// Bytes as text, invalid UTF-8 replaced the way Qt does. A byte-order mark is
// kept as a character: dropping it is a rule of the reader, not of decoding.
inline QString decode(const std::string &bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    return utf8(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
}

inline std::string utf8(const QString &text)
{
    return text.toUtf8().toStdString();
}

// The bytes after decoding, so that the references below can work on bytes.
inline std::string validUtf8(const std::string &bytes)
{
    return utf8(decode(bytes));
}

// CR LF, a lone CR and a lone LF each end a line; there is always one line.
inline std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> result(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            result.emplace_back();
        } else {
            result.back() += text[i];
        }
    }
    return result;
}

inline std::string join(const std::vector<std::string> &parts, const std::string &separator)
{
    std::string result;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i)
            result += separator;
        result += parts[i];
    }
    return result;
}

// The stored message form: a closing "@" is dropped, every other one is a line break.
inline std::string decodeMotd(std::string value)
{
    if (!value.empty() && value.back() == '@')
        value.pop_back();
    std::string text;
    for (const char c : value) {
        if (c == '@')
            text += "\r\n";
        else
            text += c;
    }
    return text;
}

// The exact form of the message's lines: the "@" form with "%25" for "%" and
// "%40" for "@" inside a line. False when the value is not in that form.
inline bool exactMotdLines(std::string value, std::vector<std::string> *lines)
{
    if (value.empty() || value.back() != '@')
        return false;
    value.pop_back();
    lines->assign(1, std::string());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '@') {
            lines->emplace_back();
        } else if (value[i] != '%') {
            lines->back() += value[i];
        } else if (value.compare(i + 1, 2, "25") == 0 || value.compare(i + 1, 2, "40") == 0) {
            lines->back() += value[i + 1] == '2' ? '%' : '@';
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace ref
