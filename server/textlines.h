#pragma once

#include <QString>
#include <QStringList>

// The lines of a text, where CR LF, a lone CR and a lone LF each end a line.
// Never empty: an empty text is one empty line.
QStringList splitLines(const QString &text);

// The text cut to at most length UTF-16 units, never between the two halves
// of a character. True when anything was cut.
bool cutToLength(QString &text, qsizetype length);
