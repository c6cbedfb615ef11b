#include "windowsservercontrol.h"

#include "logline.h"

#include <QCoreApplication>
#include <QDir>
#include <QWinEventNotifier>

#include <algorithm>
#include <cstdlib>

namespace {

QString fromWide(const std::wstring &text)
{
    return QString::fromStdWString(text);
}

// The grace period runs on a thread of this process, which Windows ends with
// the process: a Stop that is not over when the program ends is waited for
// after the windows are gone, so that Exit never waits in sight and the
// servers are still ended. Only the GUI thread touches these.
std::vector<HANDLE> g_unfinishedStops;
DWORD g_longestGracePeriodMs = 0;

void waitForUnfinishedStops()
{
    const ULONGLONG deadline = ::GetTickCount64() + g_longestGracePeriodMs + 5000;
    for (const HANDLE finished : g_unfinishedStops) {
        const ULONGLONG now = ::GetTickCount64();
        ::WaitForSingleObject(finished, now < deadline ? DWORD(deadline - now) : 0);
        ::CloseHandle(finished);
    }
    g_unfinishedStops.clear();
}

void finishAtExit(win32::UniqueHandle finished, std::chrono::milliseconds gracePeriod)
{
    if (g_unfinishedStops.empty())
        std::atexit(waitForUnfinishedStops);
    g_unfinishedStops.push_back(finished.release());
    g_longestGracePeriodMs = std::max(g_longestGracePeriodMs, DWORD(gracePeriod.count()));
}

} // namespace

WindowsServerControl::WindowsServerControl()
    : WindowsServerControl(Options{QDir::toNativeSeparators(QCoreApplication::applicationDirPath())})
{}

WindowsServerControl::WindowsServerControl(Options options) : m_options(std::move(options)) {}

WindowsServerControl::~WindowsServerControl()
{
    unwatch();
    for (PendingStop &stop : m_stopping) {
        disconnect(stop.notifier, nullptr, this, nullptr);
        delete stop.notifier;
        if (::WaitForSingleObject(stop.finished.get(), 0) != WAIT_OBJECT_0)
            finishAtExit(std::move(stop.finished), m_options.stopGracePeriod);
    }
}

LaunchResult WindowsServerControl::launchServer()
{
    win32::Launched launched =
        win32::launchServer(QDir::toNativeSeparators(m_options.programDir).toStdWString());
    if (!launched.status.ok)
        return LaunchResult::failed(
            ControlProblem(ControlProblem::Kind::LaunchFailed, {}, {}, fromWide(launched.status.error)));
    watch(std::move(launched.process), std::move(launched.log), true);
    LogNote log;
    if (!launched.noLogReason.empty())
        log = {LogNote::Kind::NoLog, fromWide(launched.noLogReason), {}};
    else if (!launched.logNotRotated.empty())
        log = {LogNote::Kind::NoNewLog, fromWide(launched.logNotRotated), {}};
    return {std::nullopt, qint64(launched.processId), log};
}

SearchAnswer WindowsServerControl::findRunningServer()
{
    std::vector<win32::ServerProcess> servers = win32::serversInFolder(win32::currentFolder());
    if (servers.empty())
        return {};
    const qint64 pid = servers.front().processId;
    // Which file an adopted server writes to cannot be told: its last line is
    // not read rather than taken from a log that may not be its own.
    watch(std::move(servers.front().process), {}, false);
    return {SearchAnswer::Outcome::Running, pid, std::nullopt};
}

void WindowsServerControl::watch(win32::UniqueHandle process, win32::UniqueHandle log, bool ownGroup)
{
    unwatch();
    m_process = std::move(process);
    m_log = std::move(log);
    m_ownGroup = ownGroup;
    m_watcher = new QWinEventNotifier(m_process.get(), this);
    connect(m_watcher, &QWinEventNotifier::activated, this, &WindowsServerControl::watchedServerEnded);
}

void WindowsServerControl::unwatch()
{
    // Disabled before the handle it waits on is closed; deleted later, as
    // this may run in its own signal.
    if (m_watcher) {
        m_watcher->setEnabled(false);
        m_watcher->deleteLater();
        m_watcher = nullptr;
    }
    m_process.reset();
    m_log.reset();
    m_ownGroup = false;
}

void WindowsServerControl::watchedServerEnded()
{
    const std::optional<DWORD> code = win32::exitCode(m_process.get());

    // A server that puts itself in the background exits with 0 once its copy
    // runs: watch that one instead, writing to the same log.
    if (code == 0u) {
        std::vector<win32::ServerProcess> servers = win32::serversInFolder(win32::currentFolder());
        if (!servers.empty()) {
            win32::UniqueHandle log = std::move(m_log);
            watch(std::move(servers.front().process), std::move(log), false);
            return;
        }
    }
    ServerExit exit;
    if (code) {
        exit.kind = ServerExit::Kind::Exited;
        // As Windows' own tools show an exit code: a crash's NTSTATUS
        // (0xC0000005) comes out negative.
        exit.code = int(*code);
    }
    exit.lastLine = lastLineOfLog();
    unwatch();
    emit serverEnded(exit);
}

QString WindowsServerControl::lastLineOfLog() const
{
    if (!m_log)
        return {};
    bool whole = true;
    const std::string tail = win32::fileTail(m_log.get(), size_t(kLogTailBytes), &whole);
    return lastLogLine(QByteArrayView(tail.data(), qsizetype(tail.size())), whole);
}

std::optional<ControlProblem> WindowsServerControl::stopServers()
{
    win32::StopRequest request;
    request.folder = win32::currentFolder();
    request.gracePeriod = m_options.stopGracePeriod;
    if (m_process) {
        request.known.push_back(m_process.get());
        if (m_ownGroup)
            request.ownGroups.push_back(m_process.get());
    }
    win32::Stopping stopping = win32::stopServers(request);
    // Asked to end (or not there at all): no longer watched for an exit of
    // its own.
    unwatch();
    if (!stopping.status.ok)
        return ControlProblem(ControlProblem::Kind::StopNotEnsured, {}, {}, fromWide(stopping.status.error));

    PendingStop pending;
    pending.finished = std::move(stopping.finished);
    pending.notifier = new QWinEventNotifier(pending.finished.get(), this);
    QWinEventNotifier *notifier = pending.notifier;
    m_stopping.push_back(std::move(pending));
    // A signalled event stays signalled: one report is enough. Its handle is
    // closed once the notifier is gone.
    connect(notifier, &QWinEventNotifier::activated, notifier, [notifier] {
        notifier->setEnabled(false);
        notifier->deleteLater();
    });
    connect(notifier, &QObject::destroyed, this, [this, notifier] {
        m_stopping.erase(
            std::remove_if(m_stopping.begin(), m_stopping.end(),
                           [notifier](const PendingStop &stop) { return stop.notifier == notifier; }),
            m_stopping.end());
        if (m_stopping.empty())
            emit serversStopped();
    });
    return std::nullopt;
}

std::optional<ControlProblem> WindowsServerControl::openUrl(const QString &url)
{
    const win32::Status opened = win32::openUrl(url.toStdWString());
    if (opened.ok)
        return std::nullopt;
    return ControlProblem(ControlProblem::Kind::UrlNotOpened, url, {}, fromWide(opened.error));
}
