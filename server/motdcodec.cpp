#include "motdcodec.h"

#include "textlines.h"

#include <algorithm>

namespace {
constexpr QChar kLineEnd = u'@';
} // namespace

QStringList SplitMotdLines(const QString &text)
{
    return splitLines(text);
}

QString JoinMotdLines(const QStringList &lines)
{
    // Sized once: a message of many lines would otherwise be copied as it grows.
    qsizetype size = 0;
    for (const QString &line : lines)
        size += line.size() + 1;
    QString joined;
    joined.reserve(size);
    for (const QString &line : lines) {
        joined += line;
        joined += kLineEnd;
    }
    return joined;
}

QString DecodeMotd(const QString &value)
{
    QStringView body = value;
    if (body.endsWith(kLineEnd))
        body.chop(1);
    // One pass into a string of the final size: QString::replace moves the
    // rest of the text for every thousand replacements, quadratic in the
    // length of a long message.
    QString decoded;
    decoded.reserve(body.size() + body.count(kLineEnd));
    qsizetype start = 0;
    for (qsizetype at = body.indexOf(kLineEnd); at >= 0; at = body.indexOf(kLineEnd, start)) {
        decoded.append(body.sliced(start, at - start));
        decoded.append(u"\r\n");
        start = at + 1;
    }
    decoded.append(body.sliced(start));
    return decoded;
}

bool MotdNeedsExactForm(const QStringList &lines)
{
    return std::any_of(lines.begin(), lines.end(),
                       [](const QString &line) { return line.contains(kLineEnd); });
}

QString EncodeMotdExact(const QStringList &lines)
{
    QStringList escaped;
    escaped.reserve(lines.size());
    for (QString line : lines)
        escaped.append(line.replace(u'%', QStringLiteral("%25")).replace(kLineEnd, QStringLiteral("%40")));
    return JoinMotdLines(escaped);
}

std::optional<QStringList> DecodeMotdExact(const QString &value)
{
    if (!value.endsWith(kLineEnd))
        return std::nullopt;
    QStringList lines = QStringView(value).chopped(1).toString().split(kLineEnd);
    for (QString &line : lines) {
        QString plain;
        plain.reserve(line.size());
        for (qsizetype i = 0; i < line.size(); ++i) {
            if (line[i] != u'%') {
                plain += line[i];
                continue;
            }
            const QStringView code = QStringView(line).mid(i + 1, 2);
            if (code == u"25")
                plain += u'%';
            else if (code == u"40")
                plain += kLineEnd;
            else
                return std::nullopt;
            i += 2;
        }
        line = plain;
    }
    return lines;
}

QString motdFromEditorText(const QString &editorText)
{
    return SplitMotdLines(editorText).join(QStringLiteral("\r\n"));
}

QString motdToEditorText(const QString &motd)
{
    return SplitMotdLines(motd).join(u'\n');
}

QString motdAsEditorHoldsIt(const QString &motd)
{
    QString text = motdToEditorText(motd);
    for (QChar &c : text) {
        if (c == QChar::ParagraphSeparator || c == QChar(0xFDD0) || c == QChar(0xFDD1))
            c = u'\n';
    }
    return motdFromEditorText(text);
}
