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
    QString joined;
    for (const QString &line : lines)
        joined += line + kLineEnd;
    return joined;
}

QString DecodeMotd(const QString &value)
{
    QString body = value;
    if (body.endsWith(kLineEnd))
        body.chop(1);
    return body.replace(kLineEnd, QStringLiteral("\r\n"));
}

QString motdFromEditorText(const QString &editorText)
{
    return SplitMotdLines(editorText).join(QStringLiteral("\r\n"));
}

QString motdToEditorText(const QString &motd)
{
    return SplitMotdLines(motd).join(u'\n');
}
