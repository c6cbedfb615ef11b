#pragma once

// The inputs of the benchmark: realistic message texts and settings, and the
// last-settings files, realistic and hostile, that start-up meets.

#include "settings.h"

#include <QByteArray>
#include <QString>

#include <string>
#include <vector>

namespace bench {

// A message of the day of at least `utf8Bytes` bytes in UTF-8: lines of 40
// to 80 characters of words, a few of them not ASCII, ended by CR LF. The
// same seed gives the same text.
QString messageText(qsizetype utf8Bytes, unsigned seed = 1);

// The settings of a server that has been run for a while.
ServerSettings realisticSettings();

// The last-settings file Start writes for realisticSettings().
QByteArray realisticLastSettings();

// About `bytes` of a file with many other sections and keys, the last
// settings near its end when withLast is true.
QByteArray paddedLastSettings(qsizetype bytes, bool withLast = true);

struct HostileFile
{
    std::string name;
    QByteArray contents;
};

// Files start-up must survive quickly: lines of 10 MB, binary junk, NUL
// bytes, 100 000 sections, and no "[Last]" section at all.
std::vector<HostileFile> hostileLastSettings();

} // namespace bench
