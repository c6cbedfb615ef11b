#pragma once

#include "servercontrol.h"

#include <QStringList>

// Records what the session asks of the system and answers as told, where a
// real process would prove nothing more. What a real control reports later (a
// server that ended, the end of a Stop, the answer to a search that takes
// its time) the test reports by calling endServer(), finishStop() and
// answerSearch().
class RecordingControl final : public ServerControl
{
public:
    struct Log
    {
        int launches = 0;
        int searches = 0;
        int stops = 0;
        QStringList openedUrls;
        LaunchResult launchResult;
        // What a search finds.
        SearchAnswer running;
        // startSearch() answers only when the test calls answerSearch().
        bool answerLater = false;
        std::optional<ControlProblem> stopProblem;
        std::optional<ControlProblem> openProblem;
    };

    explicit RecordingControl(Log &log) : m_log(log) {}

    LaunchResult launchServer() override
    {
        ++m_log.launches;
        return m_log.launchResult;
    }
    SearchAnswer findRunningServer() override
    {
        ++m_log.searches;
        return m_log.running;
    }
    void startSearch() override
    {
        if (m_log.answerLater)
            ++m_log.searches;
        else
            emit searchAnswered(findRunningServer());
    }
    std::optional<ControlProblem> stopServers() override
    {
        ++m_log.stops;
        return m_log.stopProblem;
    }
    std::optional<ControlProblem> openUrl(const QString &url) override
    {
        m_log.openedUrls.append(url);
        return m_log.openProblem;
    }

    void endServer(const ServerExit &exit) { emit serverEnded(exit); }
    void finishStop() { emit serversStopped(); }
    void answerSearch(const SearchAnswer &answer) { emit searchAnswered(answer); }

private:
    Log &m_log;
};
