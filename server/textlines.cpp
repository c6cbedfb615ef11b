#include "textlines.h"

QStringList splitLines(const QString &text)
{
    QStringList lines;
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != u'\r' && c != u'\n')
            continue;
        lines.append(text.mid(lineStart, i - lineStart));
        if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n')
            ++i;
        lineStart = i + 1;
    }
    lines.append(text.mid(lineStart));
    return lines;
}
