#include "standinserver.h"

#include "standinconfig.h"
#include "standinpages.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <netdb.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// More connections than a browser and a few scripts ever open at once; the
// rest wait in the listen queue until a slot frees, at worst after a deadline.
constexpr size_t kMaxConnections = 64;
// A real request to this server is a few hundred bytes.
constexpr size_t kMaxRequestSize = 16 * 1024;
// How long the rest of a request is read and dropped after the answer, so
// that closing with unread bytes does not reset the connection and take the
// answer with it.
constexpr std::chrono::seconds kLingerTime{1};
// After running out of descriptors, how long new clients are left queued.
constexpr std::chrono::milliseconds kAcceptPause{100};

QString lastError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

const char *reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Error";
    }
}

// Where the headers end, just past the blank line, looking from `from` on;
// npos if not yet there. Lines may end in CR LF or in a bare LF.
size_t headersEnd(const std::string &data, size_t from)
{
    const size_t crlf = data.find("\r\n\r\n", from);
    const size_t lf = data.find("\n\n", from);
    if (crlf == std::string::npos && lf == std::string::npos)
        return std::string::npos;
    return crlf < lf ? crlf + 4 : lf + 2;
}

} // namespace

StandinServer::StandinServer(const StandinPages &pages) : m_pages(pages) {}

StandinServer::~StandinServer()
{
    for (Connection &connection : m_connections)
        close(connection);
    if (m_listener >= 0)
        ::close(m_listener);
}

bool StandinServer::bind(const ListenAddress &address, QString *error)
{
    const auto fail = [&](const QString &reason) {
        *error = QStringLiteral("cannot listen on %1 port %2: %3")
                     .arg(QString::fromStdString(address.ip), QString::number(address.port), reason);
        return false;
    };

    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // The numeric flags keep getaddrinfo from ever looking a name up.
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo *found = nullptr;
    const int lookup = getaddrinfo(address.ip.c_str(), std::to_string(address.port).c_str(), &hints, &found);
    if (lookup != 0)
        return fail(QString::fromLocal8Bit(gai_strerror(lookup)));

    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // Only SO_REUSEADDR: SO_REUSEPORT would let a second server share a port
    // in use instead of failing.
    const int yes = 1;
    const bool listening = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes)) == 0 &&
                           ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, SOMAXCONN) == 0;
    const QString reason = lastError();
    freeaddrinfo(found);
    if (!listening) {
        if (fd >= 0)
            ::close(fd);
        return fail(reason);
    }
    m_listener = fd;
    return true;
}

bool StandinServer::run(const sigset_t &stopSignals, QString *error)
{
    const int signalFd = signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd < 0) {
        *error = QStringLiteral("cannot wait for stop signals: %1").arg(lastError());
        return false;
    }
    const bool served = serve(signalFd, error);
    ::close(signalFd);
    return served;
}

bool StandinServer::serve(int signalFd, QString *error)
{
    std::vector<pollfd> polled;
    while (true) {
        const Clock::time_point now = Clock::now();
        const bool accepting = m_connections.size() < kMaxConnections && now >= m_acceptPausedUntil;
        polled.assign({{signalFd, POLLIN, 0}, {accepting ? m_listener : -1, POLLIN, 0}});
        for (const Connection &connection : m_connections) {
            const short events = connection.phase == Phase::Answering ? POLLOUT : POLLIN;
            polled.push_back({connection.fd, events, 0});
        }
        if (poll(polled.data(), polled.size(), pollTimeout(now)) < 0 && errno != EINTR) {
            *error = QStringLiteral("stopped serving: %1").arg(lastError());
            return false;
        }
        // A stop signal: the destructor drops every client as it is.
        if (polled[0].revents != 0)
            return true;

        // Only the connections that were polled; accepted ones come after.
        const size_t polledConnections = m_connections.size();
        if (polled[1].revents != 0 && !acceptClients(error))
            return false;
        for (size_t i = 0; i < polledConnections; ++i) {
            Connection &connection = m_connections[i];
            if (polled[i + 2].revents == 0)
                continue;
            if (connection.phase == Phase::Answering)
                writeAnswer(connection);
            else
                readRequest(connection);
        }
        const Clock::time_point later = Clock::now();
        for (Connection &connection : m_connections) {
            if (connection.fd >= 0 && later >= connection.deadline)
                deadlinePassed(connection);
        }
        m_connections.erase(std::remove_if(m_connections.begin(), m_connections.end(),
                                           [](const Connection &each) { return each.fd < 0; }),
                            m_connections.end());
    }
}

// Milliseconds until the next deadline, or until accepting may resume; -1
// when there is nothing to wait for but the sockets.
int StandinServer::pollTimeout(Clock::time_point now) const
{
    Clock::time_point wakeAt = now < m_acceptPausedUntil ? m_acceptPausedUntil : Clock::time_point::max();
    for (const Connection &connection : m_connections)
        wakeAt = std::min(wakeAt, connection.deadline);
    if (wakeAt == Clock::time_point::max())
        return -1;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - now);
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(wait.count(), 0));
}

bool StandinServer::acceptClients(QString *error)
{
    while (m_connections.size() < kMaxConnections) {
        const int fd = accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            Connection connection;
            connection.fd = fd;
            connection.deadline = Clock::now() + kRequestTime;
            m_connections.push_back(std::move(connection));
            continue;
        }
        // Nothing more waiting, or a client that left before it was accepted.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
            return true;
        if (errno == EBADF || errno == EINVAL || errno == ENOTSOCK) {
            *error = QStringLiteral("stopped listening: %1").arg(lastError());
            return false;
        }
        // Out of descriptors or memory, or a network error passed on from a
        // new connection: leave the queue for a moment rather than spin.
        m_acceptPausedUntil = Clock::now() + kAcceptPause;
        return true;
    }
    return true;
}

void StandinServer::readRequest(Connection &connection)
{
    char buffer[4096];
    const ssize_t got = recv(connection.fd, buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (got <= 0) {
        // The client has gone, or hung up before its request was complete.
        close(connection);
        return;
    }
    if (connection.phase == Phase::Closing)
        return;

    // Only the new bytes and the three before them can complete the blank line.
    const size_t searchFrom = connection.received.size() - std::min<size_t>(connection.received.size(), 3);
    connection.received.append(buffer, size_t(got));
    const size_t end = headersEnd(connection.received, searchFrom);
    if (end != std::string::npos)
        respond(connection, connection.received.substr(0, end));
    else if (connection.received.size() > kMaxRequestSize)
        setAnswer(connection, 431, "text/plain", "Request Header Fields Too Large\n");
}

void StandinServer::respond(Connection &connection, const std::string &request)
{
    // The request line: method, target and version, each separated by one space.
    std::string line = request.substr(0, request.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    const size_t firstSpace = line.find(' ');
    const size_t lastSpace = line.rfind(' ');
    if (firstSpace == std::string::npos || firstSpace == lastSpace ||
        line.compare(lastSpace + 1, 7, "HTTP/1.") != 0) {
        setAnswer(connection, 400, "text/plain", "Bad Request\n");
        return;
    }
    const std::string method = line.substr(0, firstSpace);
    const std::string target = line.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    const std::string path = target.substr(0, target.find('?'));

    if (method != "GET" && method != "HEAD") {
        setAnswer(connection, 405, "text/plain", "Method Not Allowed\n");
        return;
    }
    const bool withBody = method == "GET";
    if (path == "/")
        setAnswer(connection, 200, "text/html; charset=utf-8", m_pages.html(), withBody);
    else if (path == "/status.json")
        setAnswer(connection, 200, "application/json", m_pages.json(), withBody);
    else
        setAnswer(connection, 404, "text/plain", "Not Found\n", withBody);
}

void StandinServer::setAnswer(Connection &connection, int status, const char *contentType,
                              const std::string &body, bool withBody)
{
    // One request per connection: the client learns so from "Connection: close".
    connection.answer = "HTTP/1.1 " + std::to_string(status) + ' ' + reasonPhrase(status) +
                        "\r\nContent-Type: " + contentType +
                        "\r\nContent-Length: " + std::to_string(body.size()) +
                        (status == 405 ? "\r\nAllow: GET, HEAD" : "") + "\r\nConnection: close\r\n\r\n";
    if (withBody)
        connection.answer += body;
    connection.answerSent = 0;
    connection.received.clear();
    connection.received.shrink_to_fit();
    connection.phase = Phase::Answering;
    connection.deadline = Clock::now() + kRequestTime;
    writeAnswer(connection);
}

void StandinServer::writeAnswer(Connection &connection)
{
    while (connection.answerSent < connection.answer.size()) {
        const ssize_t sent = send(connection.fd, connection.answer.data() + connection.answerSent,
                                  connection.answer.size() - connection.answerSent, MSG_NOSIGNAL);
        if (sent < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (sent < 0) {
            close(connection);
            return;
        }
        connection.answerSent += size_t(sent);
    }
    shutdown(connection.fd, SHUT_WR);
    connection.phase = Phase::Closing;
    connection.deadline = Clock::now() + kLingerTime;
}

void StandinServer::deadlinePassed(Connection &connection)
{
    if (connection.phase == Phase::Reading) {
        // Drop what has come so far, so that closing later does not reset
        // the connection before the client has read why.
        char buffer[4096];
        for (int i = 0; i < 16 && recv(connection.fd, buffer, sizeof buffer, 0) > 0; ++i) {
        }
        setAnswer(connection, 408, "text/plain", "Request Timeout\n");
    } else {
        close(connection);
    }
}

void StandinServer::close(Connection &connection)
{
    if (connection.fd >= 0)
        ::close(connection.fd);
    connection.fd = -1;
}
