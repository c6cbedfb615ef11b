#include "serversession.h"

#include "configfiles.h"
#include "folderlock.h"
#include "messages.h"
#include "platformfiles.h"

ServerSession::ServerSession(std::unique_ptr<ServerControl> control, std::chrono::milliseconds patience,
                             QObject *parent)
    : QObject(parent), m_control(std::move(control)), m_patience(patience)
{
    connect(m_control.get(), &ServerControl::searchAnswered, this, &ServerSession::searchAnswered);
    connect(m_control.get(), &ServerControl::serverEnded, this, &ServerSession::serverEnded);
    connect(m_control.get(), &ServerControl::serversStopped, this, &ServerSession::serversStopped);
    connect(m_control.get(), &ServerControl::urlOpenFailed, this, [this](const ControlProblem &problem) {
        setStatus(Messages::problem(problem, Messages::Request::OpenUrl));
    });
}

ServerSession::~ServerSession() = default;

void ServerSession::setState(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    emit stateChanged(state);
}

void ServerSession::setStatus(const QString &text)
{
    m_status = text;
    emit statusChanged(text);
}

void ServerSession::search()
{
    if (m_state != State::Stopped)
        return;
    setState(State::Searching);
    m_control->startSearch();
}

void ServerSession::searchNow()
{
    if (m_state != State::Stopped)
        return;
    setState(State::Searching);
    searchAnswered(m_control->findRunningServer());
}

void ServerSession::searchAnswered(const SearchAnswer &answer)
{
    // Anything that moved the session on meanwhile counts, not the answer.
    if (m_state != State::Searching)
        return;
    switch (answer.outcome) {
    // What the answer says comes first, while still Searching, so that it can
    // be told from what later changes say.
    case SearchAnswer::Outcome::Running:
        m_pid = answer.pid;
        setStatus(Messages::alreadyRunning(answer.pid));
        setState(State::Running);
        break;
    case SearchAnswer::Outcome::NotRunning:
        setState(State::Stopped);
        break;
    case SearchAnswer::Outcome::Unknown:
        setStatus(Messages::problem(answer.problem.value_or(ControlProblem()), Messages::Request::Search));
        setState(State::Stopped);
        break;
    }
}

SearchAnswer ServerSession::findRunningServer()
{
    return m_control->findRunningServer();
}

ServerSession::StartOutcome ServerSession::start(const ServerSettings &settings)
{
    using Kind = StartOutcome::Kind;
    const auto refused = [this](const QString &message) {
        setStatus(message);
        return StartOutcome{Kind::Refused, 0, {}, message};
    };
    if (m_state != State::Stopped)
        return {Kind::Refused, 0, {}, {}};

    // From the search to the log's rotation, no other Start or Stop in this
    // folder can come between.
    const FolderLock lock = FolderLock::acquire(m_patience);
    if (!lock.held())
        return refused(Messages::folderBusy());

    const SearchAnswer running = m_control->findRunningServer();
    if (running.outcome == SearchAnswer::Outcome::Running) {
        m_pid = running.pid;
        setState(State::Running);
        setStatus(Messages::alreadyRunning(running.pid));
        return {Kind::AlreadyRunning, running.pid, {}, m_status};
    }
    if (running.outcome == SearchAnswer::Outcome::Unknown)
        return refused(
            Messages::problem(running.problem.value_or(ControlProblem()), Messages::Request::Start));

    const Result written = writeSettingsFiles(workingFolder(), settings);
    if (!written.ok())
        return refused(written.errorMessage());
    const LaunchResult launched = m_control->launchServer();
    if (launched.problem)
        return refused(Messages::problem(*launched.problem, Messages::Request::Start));

    m_pid = launched.pid;
    ServerRunning = true;
    setState(State::Running);
    setStatus(Messages::started(launched.log));
    return {Kind::Started, launched.pid, launched.log, m_status};
}

ServerSession::StopOutcome ServerSession::stop()
{
    using Kind = StopOutcome::Kind;
    if (m_state != State::Running && m_state != State::Stopped)
        return {Kind::Refused, {}};
    const FolderLock lock = FolderLock::acquire(m_patience);
    if (!lock.held()) {
        setStatus(Messages::folderBusy());
        return {Kind::Refused, m_status};
    }
    if (m_state == State::Stopped) {
        // Taken over first, as a window opened here would, so that Stop ends
        // it by its process whatever it does meanwhile.
        const SearchAnswer running = m_control->findRunningServer();
        if (running.outcome == SearchAnswer::Outcome::NotRunning)
            return {Kind::NotRunning, {}};
        if (running.outcome == SearchAnswer::Outcome::Unknown) {
            setStatus(Messages::problem(running.problem.value_or(ControlProblem()), Messages::Request::Stop));
            return {Kind::Refused, m_status};
        }
        m_pid = running.pid;
    }
    if (const std::optional<ControlProblem> problem = m_control->stopServers()) {
        setStatus(Messages::problem(*problem, Messages::Request::Stop));
        return {Kind::Refused, m_status};
    }
    ServerRunning = false;
    m_pid = 0;
    setState(State::Stopping);
    setStatus(Messages::kStopping);
    return {Kind::Stopping, m_status};
}

void ServerSession::serversStopped()
{
    if (m_state != State::Stopping)
        return;
    setState(State::Stopped);
    setStatus(Messages::kStopped);
}

void ServerSession::serverEnded(const ServerExit &exit)
{
    if (m_state != State::Running)
        return;
    ServerRunning = false;
    m_pid = 0;
    setState(State::Stopped);
    setStatus(Messages::serverEnded(exit));
    emit serverEndedByItself(m_status);
}

void ServerSession::exit()
{
    const bool endServer = m_state == State::Running && ServerRunning;
    setState(State::Exiting);
    if (!endServer)
        return;
    ServerRunning = false;
    // The program ends whatever happens: what this session launched is ended
    // even when another process keeps the folder for longer.
    const FolderLock lock = FolderLock::acquire(m_patience);
    if (const std::optional<ControlProblem> problem = m_control->stopServers())
        qWarning("%s", qUtf8Printable(Messages::problem(*problem, Messages::Request::Stop)));
}

void ServerSession::openServerPage(const QString &url)
{
    if (const std::optional<ControlProblem> problem = m_control->openUrl(url))
        setStatus(Messages::problem(*problem, Messages::Request::OpenUrl));
}
