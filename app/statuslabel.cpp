#include "statuslabel.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFontMetrics>
#include <QPainter>
#include <QStyle>
#include <QTextDocument>

#include <algorithm>

namespace {

constexpr QChar kEllipsis(0x2026);

// A line whose text goes on beyond it: as much as fits, then "…". A line
// holds fewer characters than it has pixels, so no more are measured.
QString endingInEllipsis(QStringView text, const QFontMetrics &metrics, int width)
{
    return metrics.elidedText(text.left(width).toString() + kEllipsis, Qt::ElideRight, width);
}

// How much of a word too long for a line goes on it: after the last folder
// separator where that fills at least half the line, else as much as fits.
qsizetype breakInWord(const QString &word, const QFontMetrics &metrics, int width)
{
    const QString probe = word.left(std::max(width, 1));
    qsizetype low = 0, high = probe.size();
    while (low < high) {
        const qsizetype mid = (low + high + 1) / 2;
        if (metrics.horizontalAdvance(probe.left(mid)) <= width)
            low = mid;
        else
            high = mid - 1;
    }
    if (low > 1 && low < word.size() && word[low].isLowSurrogate())
        --low;
    const qsizetype separator =
        std::max(probe.left(low).lastIndexOf(u'/'), probe.left(low).lastIndexOf(u'\\'));
    if (separator >= 0 && separator + 1 >= low / 2 && separator + 1 < low)
        low = separator + 1;
    return std::max<qsizetype>(low, 1);
}

struct Line
{
    QString text;
    qsizetype start; // where in its paragraph
};

struct Paragraph
{
    QList<Line> lines;
    bool complete = true; // all of it is in the lines
};

// Breaks a paragraph greedily at its blanks, into at most limit lines.
Paragraph wrapParagraph(const QString &paragraph, const QFontMetrics &metrics, int width, int limit)
{
    Paragraph wrapped;
    QString current;
    qsizetype currentStart = 0;
    const auto tooWide = [&metrics, width](const QString &s) {
        return s.size() > width || metrics.horizontalAdvance(s) > width;
    };
    // False once the limit is reached with more to come.
    const auto finishLine = [&]() {
        if (wrapped.lines.size() == limit) {
            wrapped.complete = false;
            return false;
        }
        wrapped.lines.append({current, currentStart});
        return true;
    };
    qsizetype pos = 0;
    while (pos < paragraph.size()) {
        if (paragraph[pos] == u' ') {
            ++pos;
            continue;
        }
        qsizetype end = paragraph.indexOf(u' ', pos);
        if (end < 0)
            end = paragraph.size();
        const QString word = paragraph.mid(pos, end - pos);
        if (!current.isEmpty()) {
            const QString joined = current + u' ' + word;
            if (!tooWide(joined)) {
                current = joined;
                pos = end;
                continue;
            }
            if (!finishLine())
                return wrapped;
        }
        current = word;
        currentStart = pos;
        while (tooWide(current)) {
            const qsizetype head = breakInWord(current, metrics, width);
            const QString rest = current.mid(head);
            current.truncate(head);
            if (!finishLine())
                return wrapped;
            current = rest;
            currentStart += head;
        }
        pos = end;
    }
    if (!current.isEmpty() || wrapped.lines.isEmpty())
        finishLine();
    return wrapped;
}

// A status line is a status bar to screen readers, named by its whole text
// like a label. Its tool tip repeats the text, so it is no description.
class StatusLabelAccessible final : public QAccessibleWidget
{
public:
    explicit StatusLabelAccessible(QWidget *widget) : QAccessibleWidget(widget, QAccessible::StatusBar) {}

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
            return static_cast<const QLabel *>(widget())->text();
        if (t == QAccessible::Description)
            return widget()->accessibleDescription();
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface *statusLabelAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String("StatusLabel") && object && object->isWidgetType())
        return new StatusLabelAccessible(static_cast<QWidget *>(object));
    return nullptr;
}

} // namespace

StatusLines statusLines(const QString &text, const QFontMetrics &metrics, int width, int maxLines)
{
    const QStringList paragraphs = text.split(u'\n');
    QList<Paragraph> wrapped;
    for (const QString &paragraph : paragraphs)
        wrapped.append(wrapParagraph(paragraph, metrics, width, maxLines));

    // Every paragraph its first line while there are lines, then the rest
    // from the last one back: the newest news ("... (PID N)") is not pushed
    // out by a long notice before it.
    QList<int> granted(wrapped.size(), 0);
    int left = maxLines;
    for (qsizetype i = 0; i < wrapped.size() && left > 0; ++i, --left)
        granted[i] = 1;
    for (qsizetype i = wrapped.size() - 1; i >= 0 && left > 0; --i) {
        const int more = std::min(int(wrapped[i].lines.size()) - granted[i], left);
        granted[i] += more;
        left -= more;
    }

    StatusLines shown;
    for (qsizetype i = 0; i < wrapped.size(); ++i) {
        const Paragraph &p = wrapped[i];
        if (granted[i] == 0) {
            // Paragraphs left out altogether: the last line shown says so.
            shown.cut = true;
            if (!shown.lines.isEmpty() && !shown.lines.last().endsWith(kEllipsis))
                shown.lines.last() = endingInEllipsis(shown.lines.last(), metrics, width);
            break;
        }
        for (int n = 0; n < granted[i] - 1; ++n)
            shown.lines.append(p.lines[n].text);
        const Line &last = p.lines[granted[i] - 1];
        if (granted[i] < p.lines.size() || !p.complete) {
            shown.cut = true;
            shown.lines.append(endingInEllipsis(QStringView(paragraphs[i]).mid(last.start), metrics, width));
        } else {
            shown.lines.append(last.text);
        }
    }
    return shown;
}

StatusLabel::StatusLabel(QWidget *parent) : QLabel(parent)
{
    QAccessible::installFactory(statusLabelAccessible);
    // The server's last words and folder names are shown as they are, never
    // taken for markup.
    setTextFormat(Qt::PlainText);
}

StatusLines StatusLabel::layOut() const
{
    const int lineSpacing = fontMetrics().lineSpacing();
    const int maxLines = std::max(1, std::min(maximumHeight(), 1000) / lineSpacing);
    return statusLines(text(), fontMetrics(), contentsRect().width(), maxLines);
}

QStringList StatusLabel::shownLines() const
{
    return layOut().lines;
}

void StatusLabel::setStatus(const QString &text)
{
    setText(text);
    const StatusLines shown = layOut();
    // The tip holds what the line leaves out. A tool tip has no plain-text
    // setting: one that looks like markup is given as the markup that shows
    // the text as it is.
    if (!shown.cut)
        setToolTip(QString());
    else
        setToolTip(Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal) : text);
    const int needed = int(shown.lines.size()) * fontMetrics().lineSpacing();
    resize(width(), std::clamp(needed, minimumHeight(), maximumHeight()));
}

void StatusLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect room = contentsRect();
    const int lineSpacing = fontMetrics().lineSpacing();
    int top = room.top();
    for (const QString &line : layOut().lines) {
        style()->drawItemText(&painter, QRect(room.left(), top, room.width(), lineSpacing),
                              Qt::AlignLeft | Qt::AlignTop, palette(), isEnabled(), line, foregroundRole());
        top += lineSpacing;
    }
}
