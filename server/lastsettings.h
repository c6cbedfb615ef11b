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

// The most a one-line box of the window holds: far above any real value, and
// still quick to show, since a box lays out its whole text (about a second
// for a million characters). Start never writes more, so a restore cuts only
// what another program wrote.
inline constexpr int kMaxTextBoxLength = 65536;
// The longest message of the day that start-up restores: the message box
// lays out every character before the window can show, and a message of
// megabytes, which only a damaged or foreign file holds, would keep the
// window away for many seconds.
inline constexpr qsizetype kMaxRestoredMotdLength = 65536;

// What start-up makes of the last-settings file at path: the window's and
// the command line's --start alike, so that both write the same files.
struct StartupSettings
{
    LoadedLastSettings::State state = LoadedLastSettings::State::Missing;
    // The starting settings with the file's restored over them, as the
    // window's boxes hold them: a value cut to kMaxTextBoxLength, a message
    // longer than kMaxRestoredMotdLength left out, and the characters that
    // the message box takes for line breaks as line breaks. The starting
    // settings unchanged when the file is missing or unusable.
    ServerSettings settings;
    // What the status line says about the file, in plain words; empty when
    // there is nothing to say.
    QString notice;
};
StartupSettings restoreStartupSettings(const QString &path, const ServerSettings &starting);
