#pragma once

#include <QString>

// A name for the process's working folder that the file functions reach it
// by: its absolute name, or on Linux "/proc/self/cwd" when that name is not
// text (not UTF-8), which QDir::currentPath() cannot hold and which Qt's
// files, QSaveFile among them, would take for another name.
QString workingFolder();
