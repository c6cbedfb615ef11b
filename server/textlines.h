#pragma once

#include <QString>
#include <QStringList>

// The lines of a text, where CR LF, a lone CR and a lone LF each end a line.
// Never empty: an empty text is one empty line.
QStringList splitLines(const QString &text);
