#pragma once

#include "settings.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// The most load reads. The program writes a few hundred bytes; this is far
// above any file it writes, and far below what something endless at the
// file's name (a link to /dev/zero) would take from memory.
inline constexpr qint64 kMaxLastSettingsFileSize = 64 * 1024 * 1024;

struct LoadedLastSettings;

// The last-settings file as read once from disk, answering key lookups.
class LastSettingsFile
{
public:
    LastSettingsFile() = default;
    explicit LastSettingsFile(const QByteArray &contents);

    // Reads the regular file at path, of at most kMaxLastSettingsFileSize
    // bytes. Anything else at that name (a folder, a FIFO, a device), or a
    // file that cannot be read, is refused without waiting on it.
    static LoadedLastSettings load(const QString &path);

    // The value of KeyName in the first section named AppName, exactly as
    // written after the first "="; empty when the section or key is missing.
    // Names match without regard to ASCII letter case.
    QString GetFromINI(const QString &AppName, const QString &KeyName) const;

private:
    QStringList m_lines;
};

// What load found at the path.
struct LoadedLastSettings
{
    enum class State
    {
        Read,
        Missing,
        Unusable,
    };
    State state = State::Missing;
    // Empty unless the file was read.
    LastSettingsFile file;
    // Why the file cannot be used, in plain words, when it is Unusable.
    QString error;
};

// Replaces the settings with those of the file. The IP address is not stored
// there and stays as it is, as does any choice whose stored value is unusable.
void RestoreLastSettings(const LastSettingsFile &file, ServerSettings &settings);
