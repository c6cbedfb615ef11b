#pragma once

#include "result.h"
#include "settings.h"

#include <QByteArray>
#include <QString>

inline const QString kServerConfigFileName = QStringLiteral("orbelithsrv.conf");
inline const QString kLastSettingsFileName = QStringLiteral("orbelithsrv.ini");

// The exact bytes of the server's configuration file.
QByteArray WriteServerConfig(const ServerSettings &settings);

// The exact bytes of the front-end's own last-settings file.
QByteArray WriteLastSettings(const ServerSettings &settings);

// Writes both files into the directory. Each goes to a new file beside it
// first; the old files are replaced only when both are complete, the
// configuration first. A link at either name is followed only when it is the
// user's own or root's; another user's link fails the call before anything is
// written, and one planted later is never followed. On failure the message
// names the file and the reason.
Result writeSettingsFiles(const QString &directory, const ServerSettings &settings);
