#pragma once

#include <QString>
#include <QStringList>

// Conversions of the message of the day between the message text (CR LF line
// breaks), its lines, and the "@" form the last-settings file stores.

// The lines of the message. CR LF, a lone CR and a lone LF each end a line, so
// no line ever holds a line break. Never empty: an empty text is one empty line.
QStringList SplitMotdLines(const QString &text);

// Each line followed by "@", concatenated.
QString JoinMotdLines(const QStringList &lines);

// The "@" form back to message text: a closing "@" is dropped, every other "@"
// becomes CR LF.
QString DecodeMotd(const QString &value);

// The message box hands out and takes "\n"; the core works with CR LF.
QString motdFromEditorText(const QString &editorText);
QString motdToEditorText(const QString &motd);

// The message as the message box gives it back once it has held it: the box
// takes U+2029 and U+FDD0, U+FDD1 (its own block and frame marks) for line
// breaks, as it takes LF.
QString motdAsEditorHoldsIt(const QString &motd);
