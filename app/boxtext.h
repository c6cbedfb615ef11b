#pragma once

class QLabel;
class QLineEdit;

// Text drawn inside the fixed boxes of a row so that it reads as one line.

// The baseline of a one-line box's text, in its parent's coordinates.
int boxTextBaseline(const QLineEdit *box);

// Draws a label's text on the baseline of the box its row shares, however
// much taller the box is.
void alignBaselineWith(QLabel *label, const QLineEdit *box);

// Centres the box's text and, for a text wider than the box holds, takes a
// font small enough for all of it, on the baseline of the box's own font.
void fitTextToBox(QLineEdit *box);
