#pragma once

#include "servercontrol.h"

#include <QStringList>

// Records what the window asks of the system and answers as told, where a real
// process would prove nothing more. What a real control reports later (a
// server that ended, the end of a Stop) the test reports by calling
// endServer() and finishStop().
class RecordingControl final : public ServerControl
{
public:
    struct Log
    {
        int launches = 0;
        int adoptionScans = 0;
        int stops = 0;
        QStringList openedUrls;
        LaunchResult launchResult;
        std::optional<qint64> runningServer;
        // The search for a running server has not answered yet.
        bool searchPending = false;
        Result stopResult = Result::success();
        Result openResult = Result::success();
    };

    explicit RecordingControl(Log &log) : m_log(log) {}

    LaunchResult launchServer() override
    {
        ++m_log.launches;
        return m_log.launchResult;
    }
    std::optional<qint64> adoptRunningServer() override
    {
        ++m_log.adoptionScans;
        return m_log.runningServer;
    }
    bool adoptionPending() const override { return m_log.searchPending; }
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

    void endServer(const ServerExit &exit) { emit serverEnded(exit); }
    void finishStop() { emit serversStopped(); }
    void findLater(qint64 pid) { emit serverAdopted(pid); }
    void answerSearch()
    {
        m_log.searchPending = false;
        emit adoptionAnswered();
    }

private:
    Log &m_log;
};
