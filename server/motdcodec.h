#pragma once

#include <QString>
#include <QStringList>

#include <optional>

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

// The "@" form cannot hold an "@" inside a line. For a message whose lines
// hold one, the last-settings file keeps the exact form beside it: the same
// form with each "%" inside a line written "%25" and each "@" "%40".
// The key after MotdLine in the last settings that holds it; other readers of
// the file ignore it.
inline const QString kExactMotdKey = QStringLiteral("MotdText");
bool MotdNeedsExactForm(const QStringList &lines);
QString EncodeMotdExact(const QStringList &lines);
// The lines back, or nothing when the value is not in the exact form.
std::optional<QStringList> DecodeMotdExact(const QString &value);

// The message box hands out and takes "\n"; the core works with CR LF.
QString motdFromEditorText(const QString &editorText);
QString motdToEditorText(const QString &motd);

// The message as the message box gives it back once it has held it: the box
// takes U+2029 and U+FDD0, U+FDD1 (its own block and frame marks) for line
// breaks, as it takes LF.
QString motdAsEditorHoldsIt(const QString &motd);
