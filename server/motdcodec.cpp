#include "motdcodec.h"

#include "textlines.h"

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
