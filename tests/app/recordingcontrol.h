#pragma once

#include "servercontrol.h"

#include <QStringList>

// Records what the window asks of the system and answers as told, where a real
// process would prove nothing more.
class RecordingControl final : public ServerControl
{
public:
    struct Log
    {
        int launches = 0;
        int stops = 0;
        QStringList openedUrls;
        Result launchResult = Result::success();
        Result stopResult = Result::success();
        Result openResult = Result::success();
    };

    explicit RecordingControl(Log &log) : m_log(log) {}

    Result launchServer() override
    {
        ++m_log.launches;
        return m_log.launchResult;
    }
    Result stopServers() override
    {
        ++m_log.stops;
        return m_log.stopResult;
    }
    Result openUrl(const QString &url) override
    {
        m_log.openedUrls.append(url);
        return m_log.openResult;
    }

private:
    Log &m_log;
};
