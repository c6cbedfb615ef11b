#pragma once

#include <QRadioButton>

class QFontMetrics;

// A caption laid out for a width: too wide a line is broken at its blanks into
// at most maxLines lines, and a word that still does not fit is elided, so no
// letter is ever cut through. Line breaks already in the caption stay.
QString fitCaption(const QString &caption, const QFontMetrics &metrics, int width, int maxLines = 2);

// An option button whose caption wraps at a blank onto a second line when it
// is wider than the room beside the indicator, instead of being clipped. The
// button's text stays the caption itself; only the drawing differs.
class CaptionRadioButton final : public QRadioButton
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CaptionRadioButton)

public:
    explicit CaptionRadioButton(const QString &caption, QWidget *parent = nullptr);

    // The caption as drawn, with the line breaks it was given.
    QString displayedCaption() const;
    // The width beside the indicator that the caption may take.
    int captionRoom() const;

protected:
    void paintEvent(QPaintEvent *event) override;
};
