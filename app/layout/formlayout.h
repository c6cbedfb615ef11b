#pragma once

#include <QFont>
#include <QRect>
#include <QString>

// The windows' layouts are given in twips, 15 to a pixel at 96 dots per inch.
inline QRect twips(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

inline QFont arial(qreal points, bool bold = false)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}
