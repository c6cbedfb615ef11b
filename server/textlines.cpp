#include "textlines.h"

#include <algorithm>

QStringList splitLines(const QString &text)
{
    QStringList lines;
    const QStringView view(text);
    qsizetype lineStart = 0;
    // The next CR and the next LF, each found with Qt's vectorized search
    // rather than character by character: large files pass through here.
    qsizetype cr = view.indexOf(u'\r');
    qsizetype lf = view.indexOf(u'\n');
    while (cr >= 0 || lf >= 0) {
        const qsizetype end = cr < 0 ? lf : lf < 0 ? cr : std::min(cr, lf);
        lines.append(text.mid(lineStart, end - lineStart));
        lineStart = (end == cr && lf == cr + 1) ? lf + 1 : end + 1;
        if (cr >= 0 && cr < lineStart)
            cr = view.indexOf(u'\r', lineStart);
        if (lf >= 0 && lf < lineStart)
            lf = view.indexOf(u'\n', lineStart);
    }
    lines.append(text.mid(lineStart));
    return lines;
}

bool cutToLength(QString &text, qsizetype length)
{
    if (text.size() <= length)
        return false;
    if (length > 0 && text[length - 1].isHighSurrogate() && text[length].isLowSurrogate())
        --length;
    text.truncate(length);
    return true;
}
