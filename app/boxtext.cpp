#include "boxtext.h"

#include <QFontMetricsF>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionFrame>

#include <cmath>

namespace {

// The margin QLineEdit keeps on either side of its text; it does not
// publish it.
constexpr int kLineEditMargin = 2;

// The room a box gives its text, as QLineEdit's own paint event works it out.
QRect textRoom(const QLineEdit *box)
{
    QStyleOptionFrame panel;
    panel.initFrom(box);
    panel.rect = box->contentsRect();
    panel.lineWidth =
        box->hasFrame() ? box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &panel, box) : 0;
    panel.midLineWidth = 0;
    panel.state |= QStyle::State_Sunken;
    panel.features = QStyleOptionFrame::None;
    return box->style()
        ->subElementRect(QStyle::SE_LineEditContents, &panel, box)
        .marginsRemoved(box->textMargins());
}

} // namespace

int boxTextBaseline(const QLineEdit *box)
{
    // QLineEdit centres its line in that room; the boxes here keep that.
    const QRect room = textRoom(box);
    const QFontMetrics metrics = box->fontMetrics();
    return box->y() + room.y() + (room.height() - metrics.height() + 1) / 2 + metrics.ascent();
}

void alignBaselineWith(QLabel *label, const QLineEdit *box)
{
    // The label's box is shorter and starts lower than the text box, and the
    // box's baseline lies higher in it than the label's font would begin
    // from its top: the text is set on the label's bottom edge instead.
    const QFontMetrics metrics = label->fontMetrics();
    const int baseline = boxTextBaseline(box) - label->y();
    const int below = label->height() - baseline - metrics.descent();
    const Qt::Alignment horizontal = label->alignment() & Qt::AlignHorizontal_Mask;
    if (below >= 0) {
        label->setAlignment(horizontal | Qt::AlignBottom);
        label->setContentsMargins(0, 0, 0, below);
    } else {
        label->setAlignment(horizontal | Qt::AlignTop);
        label->setContentsMargins(0, baseline - metrics.ascent(), 0, 0);
    }
}

void fitTextToBox(QLineEdit *box)
{
    box->setAlignment(Qt::AlignCenter);
    const QFont own = box->font();
    const int baseline = boxTextBaseline(box);
    const auto fit = [box, own, baseline] {
        box->setTextMargins(0, 0, 0, 0);
        // What the box draws without scrolling: its text, a pixel and the cursor.
        const int cursor = box->style()->pixelMetric(QStyle::PM_TextCursorWidth, nullptr, box);
        const int room = textRoom(box).width() - 2 * kLineEditMargin - 1 - cursor;
        // Down to three fifths of the size; beyond that the box scrolls as any does.
        QFont font = own;
        while (font.pointSizeF() - 0.25 >= own.pointSizeF() * 0.6 &&
               std::ceil(QFontMetricsF(font).horizontalAdvance(box->text())) > room)
            font.setPointSizeF(font.pointSizeF() - 0.25);
        if (font != box->font())
            box->setFont(font);
        const int shift = baseline - boxTextBaseline(box);
        box->setTextMargins(0, shift, 0, -shift);
    };
    QObject::connect(box, &QLineEdit::textChanged, box, fit);
    fit();
}
