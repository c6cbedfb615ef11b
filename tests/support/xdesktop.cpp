#include "xdesktop.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <xcb/xcb.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr int kStartTimeoutMs = 10000;

// Starts a program from an argument vector. The child gets SIGTERM when this
// process dies, so a crashed or timed-out test leaves no display behind.
pid_t spawn(const QStringList &arguments, const QString &logPath, const QStringList &extraEnvironment = {},
            int keepFd = -1)
{
    std::vector<std::string> args;
    for (const QString &a : arguments)
        args.push_back(a.toStdString());
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> env;
    for (char **e = environ; *e; ++e)
        env.emplace_back(*e);
    for (const QString &e : extraEnvironment)
        env.push_back(e.toStdString());
    std::vector<char *> envp;
    for (std::string &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const int log =
        ::open(QFile::encodeName(logPath).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here on: the parent may have threads.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        if (devNull >= 0)
            ::dup2(devNull, STDIN_FILENO);
        if (log >= 0) {
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
        }
        if (keepFd >= 0)
            ::fcntl(keepFd, F_SETFD, 0);
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (log >= 0)
        ::close(log);
    if (devNull >= 0)
        ::close(devNull);
    return pid;
}

void terminate(pid_t &pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    QElapsedTimer timer;
    timer.start();
    while (::waitpid(pid, nullptr, WNOHANG) == 0) {
        if (timer.elapsed() > 3000) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            break;
        }
        QThread::msleep(10);
    }
    pid = -1;
}

bool exited(pid_t pid)
{
    return ::waitpid(pid, nullptr, WNOHANG) == pid;
}

QString logTail(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray text = f.readAll().trimmed();
    return QString::fromLocal8Bit(text.right(600));
}

} // namespace

bool xdotool(const QStringList &arguments, QString *output)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    if (!process.waitForFinished(5000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return false;
    if (output)
        *output = QString::fromLocal8Bit(process.readAllStandardOutput());
    return true;
}

bool takesEvents(QObject *receiver)
{
    bool ran = false;
    QMetaObject::invokeMethod(
        receiver, [&ran] { ran = true; }, Qt::QueuedConnection);
    QCoreApplication::sendPostedEvents(receiver, QEvent::MetaCall);
    return ran;
}

XDesktop::XDesktop() = default;

XDesktop::~XDesktop()
{
    stopWindowManager();
    if (m_connection)
        xcb_disconnect(m_connection);
    terminate(m_xvfb);
}

QString XDesktop::start(Tray tray)
{
    for (const char *program : {"Xvfb", "icewm", "xdotool"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty()) {
            m_skippable = true;
            return QStringLiteral("%1 is not installed").arg(QString::fromLatin1(program));
        }
    }
    if (!m_dir.isValid())
        return QStringLiteral("no temporary directory");

    // Xvfb picks a free display and writes its number to the pipe once it
    // accepts clients.
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0)
        return QStringLiteral("no pipe");
    const QString xvfbLog = m_dir.filePath(QStringLiteral("xvfb.log"));
    m_xvfb = spawn({QStringLiteral("Xvfb"), QStringLiteral("-displayfd"), QString::number(ready[1]),
                    QStringLiteral("-screen"), QStringLiteral("0"), m_screenSize, QStringLiteral("-nolisten"),
                    QStringLiteral("tcp")},
                   xvfbLog, {}, ready[1]);
    ::close(ready[1]);
    QByteArray number;
    pollfd pfd{ready[0], POLLIN, 0};
    QElapsedTimer timer;
    timer.start();
    while (!number.endsWith('\n') && timer.elapsed() < kStartTimeoutMs) {
        if (::poll(&pfd, 1, 100) <= 0)
            continue;
        char c;
        if (::read(ready[0], &c, 1) != 1)
            break;
        number.append(c);
    }
    ::close(ready[0]);
    if (!number.endsWith('\n')) {
        m_skippable = true;
        return QStringLiteral("Xvfb did not start: %1").arg(logTail(xvfbLog));
    }
    const QByteArray display = ':' + number.trimmed();
    ::setenv("DISPLAY", display.constData(), 1);

    m_connection = xcb_connect(display.constData(), nullptr);
    if (xcb_connection_has_error(m_connection))
        return QStringLiteral("cannot connect to display %1").arg(QString::fromLatin1(display));
    m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
    // Requests to the window manager are sent to the root window for
    // structure notification too: watching for it shows what a program asked
    // for, whatever the window manager then made of it.
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(m_connection, m_root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(m_connection);
    return startWindowManager(tray);
}

int XDesktop::startOrReport(Tray tray)
{
    const QString problem = start(tray);
    if (problem.isEmpty())
        return 0;
    std::fprintf(stderr, "%s: %s\n", m_skippable ? "SKIP" : "FAIL", qPrintable(problem));
    return m_skippable ? 77 : 1;
}

QString XDesktop::restartWindowManager(Tray tray)
{
    stopWindowManager();
    return startWindowManager(tray);
}

QString XDesktop::startWindowManager(Tray tray)
{
    // A private configuration: the default theme, whose close box the tests
    // click, and the tray only where wanted.
    const QString config =
        m_dir.filePath(tray == Tray::With ? QStringLiteral("icewm-tray") : QStringLiteral("icewm-notray"));
    QFile preferences(config + QStringLiteral("/preferences"));
    if (!QDir().mkpath(config) || !preferences.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write the window manager's preferences");
    preferences.write("Theme=\"default/default.theme\"\n"
                      "TaskBarShowClock=0\n"
                      "TitleFontNameXft=\"DejaVu Sans,WenQuanYi Micro Hei:size=12\"\n");
    preferences.write(tray == Tray::With ? "TaskBarEnableSystemTray=1\n" : "TaskBarEnableSystemTray=0\n");
    preferences.close();

    const QString log = m_dir.filePath(QStringLiteral("icewm.log"));
    m_windowManager = spawn({QStringLiteral("icewm")}, log, {QStringLiteral("ICEWM_PRIVCFG=") + config});
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < kStartTimeoutMs) {
        if (exited(m_windowManager)) {
            m_windowManager = -1;
            return QStringLiteral("icewm ended at start: %1").arg(logTail(log));
        }
        if (windowManagerReady() && (tray == Tray::Without || trayHostPresent()))
            return QString();
        QThread::msleep(20);
    }
    return QStringLiteral("icewm did not come up%1: %2")
        .arg(tray == Tray::With ? QStringLiteral(" with a tray") : QString(), logTail(log));
}

void XDesktop::stopWindowManager()
{
    terminate(m_windowManager);
}

bool XDesktop::windowManagerReady() const
{
    // EWMH: the root names a check window that names itself; a window manager
    // that ended leaves a stale name behind, which this rejects.
    const QList<std::uint32_t> check = cardinals(m_root, "_NET_SUPPORTING_WM_CHECK");
    if (check.isEmpty())
        return false;
    const QList<std::uint32_t> self = cardinals(check.first(), "_NET_SUPPORTING_WM_CHECK");
    return !self.isEmpty() && self.first() == check.first() && ownsSelection("WM_S0") &&
           cardinals(m_root, "_NET_SUPPORTED").contains(atom("_NET_WM_STATE_HIDDEN"));
}

bool XDesktop::trayHostPresent() const
{
    return ownsSelection("_NET_SYSTEM_TRAY_S0");
}

bool XDesktop::ownsSelection(const char *selection) const
{
    xcb_get_selection_owner_reply_t *reply = xcb_get_selection_owner_reply(
        m_connection, xcb_get_selection_owner(m_connection, atom(selection)), nullptr);
    const bool owned = reply && reply->owner != XCB_NONE;
    std::free(reply);
    return owned;
}

std::uint32_t XDesktop::atom(const char *name) const
{
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
        m_connection, xcb_intern_atom(m_connection, 0, std::strlen(name), name), nullptr);
    const std::uint32_t a = reply ? reply->atom : XCB_NONE;
    std::free(reply);
    return a;
}

QList<std::uint32_t> XDesktop::cardinals(std::uint32_t window, const char *property) const
{
    QList<std::uint32_t> values;
    xcb_get_property_reply_t *reply = xcb_get_property_reply(
        m_connection,
        xcb_get_property(m_connection, 0, window, atom(property), XCB_GET_PROPERTY_TYPE_ANY, 0, 1024),
        nullptr);
    if (reply && reply->format == 32) {
        const auto *data = static_cast<const std::uint32_t *>(xcb_get_property_value(reply));
        const int count = xcb_get_property_value_length(reply) / 4;
        for (int i = 0; i < count; ++i)
            values.append(data[i]);
    }
    std::free(reply);
    return values;
}

int XDesktop::wmState(quintptr window) const
{
    const QList<std::uint32_t> state = cardinals(window, "WM_STATE");
    return state.isEmpty() ? 0 : int(state.first());
}

bool XDesktop::isViewable(quintptr window) const
{
    xcb_get_window_attributes_reply_t *reply = xcb_get_window_attributes_reply(
        m_connection, xcb_get_window_attributes(m_connection, window), nullptr);
    const bool viewable = reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
    std::free(reply);
    return viewable;
}

QList<quintptr> XDesktop::clientList() const
{
    QList<quintptr> windows;
    for (const std::uint32_t w : cardinals(m_root, "_NET_CLIENT_LIST"))
        windows.append(w);
    return windows;
}

QStringList XDesktop::allowedActions(quintptr window) const
{
    QStringList names;
    for (const std::uint32_t a : cardinals(window, "_NET_WM_ALLOWED_ACTIONS")) {
        xcb_get_atom_name_reply_t *reply =
            xcb_get_atom_name_reply(m_connection, xcb_get_atom_name(m_connection, a), nullptr);
        if (reply)
            names.append(
                QString::fromLatin1(xcb_get_atom_name_name(reply), xcb_get_atom_name_name_length(reply)));
        std::free(reply);
    }
    return names;
}

QString XDesktop::windowName(quintptr window) const
{
    xcb_get_property_reply_t *reply = xcb_get_property_reply(
        m_connection,
        xcb_get_property(m_connection, 0, window, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 0, 1024),
        nullptr);
    QString name;
    if (reply && reply->format == 8)
        name = QString::fromUtf8(static_cast<const char *>(xcb_get_property_value(reply)),
                                 xcb_get_property_value_length(reply));
    std::free(reply);
    return name;
}

int XDesktop::activationRequests(quintptr window)
{
    // Source indication 1: the request came from the application itself, not
    // from a pager or a tool acting for the user (xdotool says 2).
    constexpr std::uint32_t kFromApplication = 1;
    const std::uint32_t activeWindow = atom("_NET_ACTIVE_WINDOW");
    while (xcb_generic_event_t *event = xcb_poll_for_event(m_connection)) {
        if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
            const auto *message = reinterpret_cast<xcb_client_message_event_t *>(event);
            if (message->type == activeWindow && message->format == 32 &&
                message->data.data32[0] == kFromApplication)
                ++m_activationRequests[message->window];
        }
        std::free(event);
    }
    return m_activationRequests.value(window);
}

void XDesktop::setScreenSize(int width, int height)
{
    m_screenSize = QStringLiteral("%1x%2x24").arg(width).arg(height);
}
