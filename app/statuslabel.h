#pragma once

#include <QLabel>
#include <QStringList>

class QFontMetrics;

// A status text in whole lines of a width, at most maxLines of them. Lines
// break at blanks and at the text's own line breaks, so an address or a
// folder stays whole wherever a line can hold it; one longer than a line
// breaks after a '/' or '\'. When the lines run out, every paragraph keeps
// its first line, the last ones get the rest, and what is left out ends in
// "…".
struct StatusLines
{
    QStringList lines;
    bool cut = false;
};
StatusLines statusLines(const QString &text, const QFontMetrics &metrics, int width, int maxLines);

// The window's status line. It shows its text in whole lines, growing down
// from its minimum height by whole lines up to its maximum height; a text
// that does not fit ends in "…", and its tool tip then holds all of it.
// Screen readers meet it as a status bar named by its whole text and hear
// each new text as a change of that name.
class StatusLabel final : public QLabel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusLabel)

public:
    explicit StatusLabel(QWidget *parent = nullptr);

    void setStatus(const QString &text);
    // The lines as drawn.
    QStringList shownLines() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    StatusLines layOut() const;
};
