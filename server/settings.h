#pragma once

#include <QString>

#include <optional>

// Everything the main window holds, as the window holds it: every value is the
// text of its box, unparsed and untrimmed, so that both files get it verbatim.
struct ServerSettings
{
    QString serverName = QStringLiteral("Quillmere");
    QString location;
    QString url = QStringLiteral("http://");
    QString maxUsers = QStringLiteral("50");
    QString port = QStringLiteral("27888");
    bool isPublic = true; // "Internet" selected, rather than "Lan"
    QString ip;
    QString floodMsgNb = QStringLiteral("3");
    QString floodMsgTime = QStringLiteral("5");
    QString minPing = QStringLiteral("0");
    // Index 0 to 6 of the selected connection setting; empty when none is selected.
    std::optional<int> maxConnSet = 0;
    // Line breaks are CR LF.
    QString motd = QStringLiteral("Welcome!\r\n");

    bool operator==(const ServerSettings &other) const;
    bool operator!=(const ServerSettings &other) const { return !(*this == other); }
};

inline bool ServerSettings::operator==(const ServerSettings &o) const
{
    return serverName == o.serverName && location == o.location && url == o.url && maxUsers == o.maxUsers &&
           port == o.port && isPublic == o.isPublic && ip == o.ip && floodMsgNb == o.floodMsgNb &&
           floodMsgTime == o.floodMsgTime && minPing == o.minPing && maxConnSet == o.maxConnSet &&
           motd == o.motd;
}

inline constexpr int kConnectionSettingCount = 7;

// The key names of both files, written and read in one spelling.
namespace SettingsKey {
inline const QString ServerName = QStringLiteral("ServerName");
inline const QString Location = QStringLiteral("Location");
inline const QString Url = QStringLiteral("URL");
inline const QString MaxUsers = QStringLiteral("MaxUsers");
inline const QString Port = QStringLiteral("Port");
inline const QString Public = QStringLiteral("Public");
inline const QString Ip = QStringLiteral("IP");
inline const QString FloodMsgNb = QStringLiteral("FloodMsgNb");
inline const QString FloodMsgTime = QStringLiteral("FloodMsgTime");
inline const QString MinPing = QStringLiteral("MinPing");
inline const QString MaxConnSet = QStringLiteral("MaxConnSet");
inline const QString MotdLine = QStringLiteral("MotdLine");
} // namespace SettingsKey

// The one-line values of the settings, with the key each is stored under, in
// the order of both files.
struct TextSetting
{
    const QString &key;
    QString ServerSettings::*value;
};
inline const TextSetting kLeadingTextSettings[] = {
    {SettingsKey::ServerName, &ServerSettings::serverName},
    {SettingsKey::Location, &ServerSettings::location},
    {SettingsKey::Url, &ServerSettings::url},
    {SettingsKey::MaxUsers, &ServerSettings::maxUsers},
    {SettingsKey::Port, &ServerSettings::port},
};
inline const TextSetting kFloodTextSettings[] = {
    {SettingsKey::FloodMsgNb, &ServerSettings::floodMsgNb},
    {SettingsKey::FloodMsgTime, &ServerSettings::floodMsgTime},
    {SettingsKey::MinPing, &ServerSettings::minPing},
};
