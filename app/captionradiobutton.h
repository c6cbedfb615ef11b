#pragma once

#include <QFont>
#include <QRadioButton>
#include <QStringList>

// A caption laid out for a width, in at most maxLines lines: broken at its
// blanks and between a letter and a digit ("Average" over "15fps"); where a
// word still does not fit, set with tighter letters or a smaller font; elided
// only when nothing else fits, so no letter is ever cut through. Line breaks
// already in the caption stay.
struct FittedCaption
{
    QStringList lines;
    QFont font;
    bool elided = false;
};
FittedCaption fitCaption(const QString &caption, const QFont &font, int width, int maxLines = 2);

// An option button whose caption is fitted to the room beside the indicator
// instead of being clipped, with its focus frame around the lines as drawn.
// The button's text stays the caption itself; only the drawing differs. In a
// button group, Tab reaches the group at its selected option, and the arrow
// keys move along the group's row.
class CaptionRadioButton final : public QRadioButton
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CaptionRadioButton)

public:
    explicit CaptionRadioButton(const QString &caption, QWidget *parent = nullptr);

    // The caption as drawn, with the line breaks it was given.
    QString displayedCaption() const;
    // The font it is drawn with: the button's own, or one that fits.
    QFont captionFont() const;
    // The width beside the indicator that the caption may take.
    int captionRoom() const;

protected:
    bool event(QEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    FittedCaption fitted() const;
    void giveTabStopToChecked();
};
