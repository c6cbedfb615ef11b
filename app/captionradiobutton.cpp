#include "captionradiobutton.h"

#include <QButtonGroup>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QStyleOptionButton>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
#include <QToolTip>

#include <algorithm>
#include <optional>

namespace {

// Where a line may break: at a blank, which the break takes, or between a
// letter and the digit after it, which keeps both.
struct Piece
{
    QString text;
    bool afterBlank;
};

QList<Piece> breakPieces(const QString &line)
{
    QList<Piece> pieces;
    for (const QString &word : line.split(u' ', Qt::SkipEmptyParts)) {
        qsizetype start = 0;
        for (qsizetype i = 1; i < word.size(); ++i) {
            if (word[i - 1].isLetter() && word[i].isDigit()) {
                pieces.append({word.mid(start, i - start), start == 0});
                start = i;
            }
        }
        pieces.append({word.mid(start), start == 0});
    }
    return pieces;
}

// Breaks one line, greedily, into lines that fit where the breaks allow.
QStringList wrapLine(const QString &line, const QFontMetrics &metrics, int width)
{
    if (metrics.horizontalAdvance(line) <= width)
        return {line};
    QStringList lines;
    QString current;
    for (const Piece &piece : breakPieces(line)) {
        const QString candidate = current.isEmpty()  ? piece.text
                                  : piece.afterBlank ? current + u' ' + piece.text
                                                     : current + piece.text;
        if (current.isEmpty() || metrics.horizontalAdvance(candidate) <= width) {
            current = candidate;
        } else {
            lines.append(current);
            current = piece.text;
        }
    }
    lines.append(current);
    return lines;
}

// The caption's lines in a font, when all of them fit.
std::optional<QStringList> linesThatFit(const QString &caption, const QFont &font, int width, int maxLines)
{
    const QFontMetrics metrics(font);
    QStringList lines;
    for (const QString &line : caption.split(u'\n'))
        lines.append(wrapLine(line, metrics, width));
    if (lines.size() > maxLines)
        return std::nullopt;
    for (const QString &line : lines) {
        if (metrics.horizontalAdvance(line) > width)
            return std::nullopt;
    }
    return lines;
}

} // namespace

FittedCaption fitCaption(const QString &caption, const QFont &font, int width, int maxLines)
{
    // The button's own font first, then tighter letters, then smaller ones,
    // down to three quarters of its size.
    const qreal points = font.pointSizeF();
    for (qreal size = points; size > 0 && size >= points * 0.75; size -= 0.5) {
        for (const int spacing : {100, 95, 90}) {
            QFont candidate = font;
            if (size != points)
                candidate.setPointSizeF(size);
            if (spacing != 100)
                candidate.setLetterSpacing(QFont::PercentageSpacing, spacing);
            if (std::optional<QStringList> lines = linesThatFit(caption, candidate, width, maxLines))
                return {*lines, candidate, false};
        }
    }

    // Nothing fits: what the lines there are cannot hold goes into the last
    // one, elided.
    const QFontMetrics metrics(font);
    QStringList lines;
    for (const QString &line : caption.split(u'\n'))
        lines.append(wrapLine(line, metrics, width));
    if (maxLines > 0 && lines.size() > maxLines) {
        const QStringList rest = lines.mid(maxLines - 1);
        lines = lines.mid(0, maxLines - 1);
        lines.append(rest.join(u' '));
    }
    for (QString &line : lines) {
        if (metrics.horizontalAdvance(line) > width)
            line = metrics.elidedText(line, Qt::ElideRight, width);
    }
    return {lines, font, true};
}

CaptionRadioButton::CaptionRadioButton(const QString &caption, QWidget *parent)
    : QRadioButton(caption, parent)
{
    connect(this, &QAbstractButton::toggled, this, [this](bool checked) {
        if (checked)
            giveTabStopToChecked();
    });
}

int CaptionRadioButton::captionRoom() const
{
    QStyleOptionButton option;
    initStyleOption(&option);
    return style()->subElementRect(QStyle::SE_RadioButtonContents, &option, this).width();
}

FittedCaption CaptionRadioButton::fitted() const
{
    return fitCaption(text(), font(), captionRoom());
}

QString CaptionRadioButton::displayedCaption() const
{
    return fitted().lines.join(u'\n');
}

QFont CaptionRadioButton::captionFont() const
{
    return fitted().font;
}

bool CaptionRadioButton::event(QEvent *event)
{
    // Only an elided caption needs a tip to be read whole. The tip is not the
    // tool tip property: screen readers would read that out after the name.
    if (event->type() == QEvent::ToolTip) {
        if (!fitted().elided)
            return QRadioButton::event(event);
        QToolTip::showText(static_cast<QHelpEvent *>(event)->globalPos(),
                           QString(text()).replace(u'\n', u' '), this);
        return true;
    }
    return QRadioButton::event(event);
}

void CaptionRadioButton::giveTabStopToChecked()
{
    // Qt leaves the tab stop of a group on the option that last had the
    // focus; Tab should reach the group at its selected option instead.
    if (!group())
        return;
    const QList<QAbstractButton *> buttons = group()->buttons();
    const auto checked = std::find_if(buttons.cbegin(), buttons.cend(),
                                      [](const QAbstractButton *b) { return b->isChecked(); });
    if (checked == buttons.cend())
        return;
    for (QAbstractButton *b : buttons) {
        const Qt::FocusPolicy policy = b->focusPolicy();
        b->setFocusPolicy(b == *checked ? Qt::FocusPolicy(policy | Qt::TabFocus)
                                        : Qt::FocusPolicy(policy & ~Qt::TabFocus));
    }
}

void CaptionRadioButton::focusOutEvent(QFocusEvent *event)
{
    // A press that left without selecting gave this option the tab stop.
    QRadioButton::focusOutEvent(event);
    giveTabStopToChecked();
}

void CaptionRadioButton::keyPressEvent(QKeyEvent *event)
{
    // The options of a group stand in one row: Up and Down move along it as
    // Left and Right do, as on Windows.
    if (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) {
        QKeyEvent along(event->type(), event->key() == Qt::Key_Up ? Qt::Key_Left : Qt::Key_Right,
                        event->modifiers(), event->text(), event->isAutoRepeat(), event->count());
        QRadioButton::keyPressEvent(&along);
        event->setAccepted(along.isAccepted());
        return;
    }
    QRadioButton::keyPressEvent(event);
}

void CaptionRadioButton::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const FittedCaption caption = fitted();
    if (caption.lines.size() == 1 && caption.font == font()) {
        // The style draws it, focus frame and all.
        option.text = caption.lines.first();
        painter.drawControl(QStyle::CE_RadioButton, option);
        return;
    }
    // The style draws the indicator alone, and would frame the indicator for
    // the focus: the caption and its focus frame are drawn here.
    const bool focused = option.state & QStyle::State_HasFocus;
    option.text.clear();
    option.state &= ~QStyle::State_HasFocus;
    painter.drawControl(QStyle::CE_RadioButton, option);

    // The style would set the lines a full line spacing apart, more than a
    // button of one line's height holds, and cut the last line's descenders:
    // set them closer where needed, with their ink centred.
    painter.setFont(caption.font);
    const QFontMetrics metrics(caption.font);
    const QRect room = style()->subElementRect(QStyle::SE_RadioButtonContents, &option, this);
    const QStringList &lines = caption.lines;
    const QRect first = metrics.tightBoundingRect(lines.first());
    const QRect last = metrics.tightBoundingRect(lines.last());
    const int above = -first.top();
    const int below = last.top() + last.height();
    const int gaps = int(lines.size()) - 1;
    const int pitch =
        gaps > 0 ? std::min(metrics.lineSpacing(), (room.height() - 2 - above - below) / gaps) : 0;
    int baseline = room.top() + (room.height() - (above + gaps * pitch + below)) / 2 + above;
    QRect drawn;
    for (const QString &line : lines) {
        const QRect lineRect(room.left(), baseline - metrics.ascent(), room.width(), metrics.height());
        style()->drawItemText(&painter, lineRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextShowMnemonic,
                              option.palette, isEnabled(), line, QPalette::WindowText);
        drawn |= QRect(lineRect.topLeft(), QSize(metrics.horizontalAdvance(line), lineRect.height()));
        baseline += pitch;
    }
    if (focused) {
        // Around the text, as the style frames a caption of one line.
        QStyleOptionFocusRect frame;
        frame.QStyleOption::operator=(option);
        frame.state |= QStyle::State_HasFocus;
        frame.rect = drawn.adjusted(-3, -2, 3, 2).intersected(rect());
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &frame, &painter, this);
    }
}
