#include "captionradiobutton.h"

#include <QFontMetrics>
#include <QStyleOptionButton>
#include <QStylePainter>

#include <algorithm>

namespace {

// Breaks one line of text at its blanks, greedily, into lines that fit.
QStringList wrapLine(const QString &line, const QFontMetrics &metrics, int width)
{
    QStringList lines;
    QString current;
    for (const QString &word : line.split(u' ', Qt::SkipEmptyParts)) {
        const QString candidate = current.isEmpty() ? word : current + u' ' + word;
        if (current.isEmpty() || metrics.horizontalAdvance(candidate) <= width) {
            current = candidate;
        } else {
            lines.append(current);
            current = word;
        }
    }
    lines.append(current);
    return lines;
}

} // namespace

QString fitCaption(const QString &caption, const QFontMetrics &metrics, int width, int maxLines)
{
    QStringList lines;
    for (const QString &line : caption.split(u'\n')) {
        if (metrics.horizontalAdvance(line) <= width)
            lines.append(line);
        else
            lines.append(wrapLine(line, metrics, width));
    }
    // What does not fit in the lines there are goes into the last one, elided.
    if (maxLines > 0 && lines.size() > maxLines) {
        const QStringList rest = lines.mid(maxLines - 1);
        lines = lines.mid(0, maxLines - 1);
        lines.append(rest.join(u' '));
    }
    for (QString &line : lines) {
        if (metrics.horizontalAdvance(line) > width)
            line = metrics.elidedText(line, Qt::ElideRight, width);
    }
    return lines.join(u'\n');
}

CaptionRadioButton::CaptionRadioButton(const QString &caption, QWidget *parent)
    : QRadioButton(caption, parent)
{}

int CaptionRadioButton::captionRoom() const
{
    QStyleOptionButton option;
    initStyleOption(&option);
    return style()->subElementRect(QStyle::SE_RadioButtonContents, &option, this).width();
}

QString CaptionRadioButton::displayedCaption() const
{
    return fitCaption(text(), fontMetrics(), captionRoom());
}

void CaptionRadioButton::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QStringList lines = displayedCaption().split(u'\n');
    if (lines.size() == 1) {
        option.text = lines.first();
        painter.drawControl(QStyle::CE_RadioButton, option);
        return;
    }
    // The style would set the lines a full line spacing apart, more than a
    // button of one line's height holds, and cut the last line's descenders:
    // set them closer where needed, with their ink centred.
    option.text.clear();
    painter.drawControl(QStyle::CE_RadioButton, option);
    const QRect room = style()->subElementRect(QStyle::SE_RadioButtonContents, &option, this);
    const QFontMetrics &metrics = option.fontMetrics;
    const QRect first = metrics.tightBoundingRect(lines.first());
    const QRect last = metrics.tightBoundingRect(lines.last());
    const int above = -first.top();
    const int below = last.top() + last.height();
    const int gaps = int(lines.size()) - 1;
    const int pitch = std::min(metrics.lineSpacing(), (room.height() - 2 - above - below) / gaps);
    int baseline = room.top() + (room.height() - (above + gaps * pitch + below)) / 2 + above;
    for (const QString &line : lines) {
        style()->drawItemText(&painter,
                              QRect(room.left(), baseline - metrics.ascent(), room.width(), metrics.height()),
                              Qt::AlignLeft | Qt::AlignTop | Qt::TextShowMnemonic, option.palette,
                              isEnabled(), line, QPalette::WindowText);
        baseline += pitch;
    }
}
