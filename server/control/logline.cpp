#include "logline.h"

namespace {

QString printable(QByteArrayView bytes)
{
    QString text = QString::fromUtf8(bytes);
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control)
            c = u' ';
    }
    return text.trimmed();
}

} // namespace

QString lastLogLine(QByteArrayView tail, bool startsAtLineStart)
{
    if (!startsAtLineStart) {
        // Continuation bytes of a character that began before the cut.
        while (!tail.isEmpty() && (static_cast<unsigned char>(tail.front()) & 0xC0) == 0x80)
            tail = tail.sliced(1);
    }
    qsizetype end = tail.size();
    while (end > 0) {
        const qsizetype start = tail.first(end).lastIndexOf('\n') + 1;
        QString line = printable(tail.sliced(start, end - start));
        if (!line.isEmpty()) {
            if (line.size() > kMaxLogLineLength) {
                line.truncate(kMaxLogLineLength);
                if (line.back().isHighSurrogate())
                    line.chop(1);
            }
            return line;
        }
        end = start - 1;
    }
    return {};
}
