#pragma once

#include "result.h"

#include <QString>

#include <memory>

// The three things the front-end asks of the operating system about the
// server. Every call returns at once; none waits for the programs it starts.
class ServerControl
{
public:
    virtual ~ServerControl() = default;

    // Starts the server program by its bare name, without arguments, hidden,
    // in the current directory.
    virtual Result launchServer() = 0;

    // Ends every process of this user that runs the server program.
    virtual Result stopServers() = 0;

    // Opens the address in the desktop's web browser.
    virtual Result openUrl(const QString &url) = 0;
};

// The server program's file name on this platform.
QString serverProgramName();

std::unique_ptr<ServerControl> createPlatformServerControl();
