#pragma once

#include "servercontrol.h"

#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <vector>

class PosixServerControl final : public ServerControl
{
public:
    struct Options
    {
        // Looked in first for the server program: the front-end's own folder.
        QString programDir;
        // How long a server may take to end on SIGTERM before it is killed.
        std::chrono::milliseconds stopGracePeriod{3000};
    };

    PosixServerControl();
    explicit PosixServerControl(Options options);

    static QString programName() { return QStringLiteral("orbelithsrv"); }

    LaunchResult launchServer() override;
    std::optional<qint64> adoptRunningServer() override;
    Result stopServers() override;
    Result openUrl(const QString &url) override;

    // Where the server program is looked for, in order: the program folder,
    // the current directory, then PATH.
    QStringList searchDirectories() const;
    std::optional<QString> findServerProgram() const;

private:
    Options m_options;
};

// Processes of the current user whose executable's file name is imageName.
std::vector<pid_t> processesByImageName(const QString &imageName);
