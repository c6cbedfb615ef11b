#pragma once

#include <QByteArrayView>
#include <QString>

// The server's output file in its working directory, and the previous run's:
// names that say they are this program's, so that a log the server keeps
// itself (orbelithsrv.log, say) is never touched.
inline const QString kServerLogFileName = QStringLiteral("orbelith-gui-server.log");
inline const QString kPreviousServerLogFileName = QStringLiteral("orbelith-gui-server.log.1");
// Where a new run's log is made, until its server has started.
inline const QString kNewServerLogFileName = QStringLiteral("orbelith-gui-server.log.new");

// How much of the log's end is read for its last line, and how much of that
// line the status line shows.
constexpr qsizetype kLogTailBytes = 4096;
constexpr qsizetype kMaxLogLineLength = 200;

// The last non-blank line of the end of a log, as one line of plain text:
// control characters become blanks, invalid UTF-8 becomes U+FFFD, and the
// result is cut to kMaxLogLineLength characters. startsAtLineStart is false
// when the tail was cut from a longer file, so that its first bytes may be
// the middle of a character. Empty when there is no such line.
QString lastLogLine(QByteArrayView tail, bool startsAtLineStart);
