#pragma once

#include <QFont>
#include <QPalette>
#include <QRect>
#include <QString>
#include <QWidget>

// The windows' layouts are given in twips, 15 to a pixel at 96 dots per inch.
inline QRect twips(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

inline QFont arial(qreal points, bool bold = false)
{
    QFont font(QStringLiteral("Arial"));
    // Liberation Sans has Arial's metrics, so the captions keep their sizes
    // where Arial is missing: Linux's fontconfig picks it by itself, but
    // under Wine, which has the Linux fonts and no Arial, Qt would take the
    // first face it knows, whatever that looks like.
    font.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans")});
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

// Text in the system's highlight colour in every state of its window, as a
// label of that colour is drawn on Windows. Qt's palette there greys the
// highlight out while the window is inactive, which would hide the text
// whenever another window has the focus.
inline void useHighlightColour(QWidget *widget)
{
    widget->setForegroundRole(QPalette::Highlight);
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Inactive, QPalette::Highlight,
                     palette.color(QPalette::Active, QPalette::Highlight));
    widget->setPalette(palette);
}
