// A stand-in for the dedicated server: it reads the settings file the GUI
// has just written in the current directory and shows it over HTTP on the
// configured address, until SIGTERM or SIGINT.

#include "standinconfig.h"
#include "standinpages.h"

#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include <netdb.h>
#include <pthread.h>
#include <sys/socket.h>

namespace {

void printError(const QString &message)
{
    const QByteArray line = QByteArrayLiteral("orbelithsrv: ") + message.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
}

class StandinServer
{
public:
    explicit StandinServer(const StandinPages &pages)
    {
        // httplib's default also sets SO_REUSEPORT, which would let a second
        // server share a port in use instead of failing.
        m_server.set_socket_options([](socket_t sock) {
            const int yes = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        });
        // Stopping waits for every connection's worker. The GUI kills a
        // server that has not ended within a few seconds, and httplib only
        // notices the stop between requests, so connections are not kept
        // open after an answer and idle or stalled clients get one second.
        m_server.set_keep_alive_max_count(1);
        m_server.set_keep_alive_timeout(1);
        m_server.set_read_timeout(1);
        m_server.Get("/", [&pages](const httplib::Request &, httplib::Response &response) {
            response.set_content(pages.html(), "text/html; charset=utf-8");
        });
        m_server.Get(R"(/status\.json)", [&pages](const httplib::Request &, httplib::Response &response) {
            response.set_content(pages.json(), "application/json");
        });
    }

    bool bind(const ListenAddress &address, QString *error)
    {
        errno = 0;
        // The numeric flags keep getaddrinfo from ever looking a name up.
        if (m_server.bind_to_port(address.ip, address.port, AI_NUMERICHOST | AI_NUMERICSERV))
            return true;
        const int reason = errno;
        *error = QStringLiteral("cannot listen on %1 port %2: %3")
                     .arg(QString::fromStdString(address.ip), QString::number(address.port),
                          reason != 0 ? QString::fromLocal8Bit(std::strerror(reason))
                                      : QStringLiteral("unknown error"));
        return false;
    }

    // Serves until stop() or a failure of the listening socket.
    void run()
    {
        m_server.listen_after_bind();
        {
            const std::lock_guard lock(m_mutex);
            m_finished = true;
        }
        m_finishedChanged.notify_all();
    }

    void stop()
    {
        // httplib ignores stop() until its accept loop is running, and a
        // signal can come just before that: repeat until run() has returned.
        std::unique_lock lock(m_mutex);
        while (!m_finished) {
            m_server.stop();
            m_finishedChanged.wait_for(lock, std::chrono::milliseconds(20));
        }
    }

private:
    httplib::Server m_server;
    std::mutex m_mutex;
    std::condition_variable m_finishedChanged;
    bool m_finished = false;
};

// Waits for SIGTERM and SIGINT on a thread of its own, so the reaction runs
// as ordinary code rather than inside a signal handler. The signals must be
// blocked (blockStopSignals) before any thread starts, so that no other
// thread receives them.
class SignalWatcher
{
public:
    static sigset_t blockStopSignals()
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGINT);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        return set;
    }

    SignalWatcher(const sigset_t &waited, std::function<void()> onSignal)
        : m_signals(waited), m_onSignal(std::move(onSignal)), m_thread([this] { watch(); })
    {}

    ~SignalWatcher()
    {
        // Wakes the thread if no signal came (the server stopped on its own);
        // a signal directed at a thread that has already ended is discarded.
        m_leaving = true;
        pthread_kill(m_thread.native_handle(), SIGTERM);
        m_thread.join();
    }

    SignalWatcher(const SignalWatcher &) = delete;
    SignalWatcher &operator=(const SignalWatcher &) = delete;

    bool signalled() const { return m_signalled; }

private:
    void watch()
    {
        int signal = 0;
        sigwait(&m_signals, &signal);
        if (m_leaving)
            return;
        m_signalled = true;
        m_onSignal();
    }

    const sigset_t m_signals;
    const std::function<void()> m_onSignal;
    std::atomic<bool> m_leaving = false;
    std::atomic<bool> m_signalled = false;
    std::thread m_thread;
};

} // namespace

int main()
{
    const sigset_t stopSignals = SignalWatcher::blockStopSignals();
    // A client that hangs up mid-answer must not end the server.
    std::signal(SIGPIPE, SIG_IGN);

    QString error;
    const std::optional<StandinConfig> config = StandinConfig::load(&error);
    if (!config) {
        printError(error);
        return 1;
    }
    const std::optional<ListenAddress> address = config->listenAddress(&error);
    if (!address) {
        printError(error);
        return 1;
    }

    const StandinPages pages(*config);
    StandinServer server(pages);
    if (!server.bind(*address, &error)) {
        printError(error);
        return 1;
    }

    SignalWatcher watcher(stopSignals, [&server] { server.stop(); });
    server.run();
    if (!watcher.signalled()) {
        printError(QStringLiteral("stopped listening on its own"));
        return 1;
    }
    return 0;
}
