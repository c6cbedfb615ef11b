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
