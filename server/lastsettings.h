#pragma once

#include "settings.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// The last-settings file as read once from disk, answering key lookups.
class LastSettingsFile
{
public:
    LastSettingsFile() = default;
    explicit LastSettingsFile(const QByteArray &contents);

    // A missing or unreadable file reads as an empty one.
    static LastSettingsFile load(const QString &path);

    // The value of KeyName in the first section named AppName, exactly as
    // written after the first "="; empty when the section or key is missing.
    // Names match without regard to ASCII letter case.
    QString GetFromINI(const QString &AppName, const QString &KeyName) const;

private:
    QStringList m_lines;
};

// Replaces the settings with those of the file. The IP address is not stored
// there and stays as it is, as does any choice whose stored value is unusable.
void RestoreLastSettings(const LastSettingsFile &file, ServerSettings &settings);
