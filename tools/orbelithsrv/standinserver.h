#pragma once

#include <QString>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

struct ListenAddress;
class StandinPages;

// Serves the two pages over HTTP, one request per connection, on a single
// thread around poll(). Each connection carries its own deadline, so a slow
// or stalled client holds only its own connection, and only for a few
// seconds: never the other clients, and never a stop.
class StandinServer
{
public:
    // The whole request, from accept to the end of its headers, must arrive
    // within this time; the answer must then be taken within as much again.
    static constexpr std::chrono::seconds kRequestTime{5};

    explicit StandinServer(const StandinPages &pages);
    ~StandinServer();

    StandinServer(const StandinServer &) = delete;
    StandinServer &operator=(const StandinServer &) = delete;

    bool bind(const ListenAddress &address, QString *error);

    // Serves until one of `stopSignals` arrives; they must be blocked in
    // every thread. Returns false and sets *error if serving fails.
    bool run(const sigset_t &stopSignals, QString *error);

private:
    using Clock = std::chrono::steady_clock;

    enum class Phase
    {
        Reading,   // the request, until the blank line after its headers
        Answering, // the answer, until the client has taken all of it
        Closing    // answered; reading what the client still sends
    };

    struct Connection
    {
        int fd = -1;
        Phase phase = Phase::Reading;
        Clock::time_point deadline;
        std::string received;
        std::string answer;
        size_t answerSent = 0;
    };

    bool serve(int signalFd, QString *error);
    int pollTimeout(Clock::time_point now) const;
    bool acceptClients(QString *error);
    void readRequest(Connection &connection);
    void writeAnswer(Connection &connection);
    void respond(Connection &connection, const std::string &request);
    void setAnswer(Connection &connection, int status, const char *contentType, const std::string &body,
                   bool withBody = true);
    void deadlinePassed(Connection &connection);
    static void close(Connection &connection);

    const StandinPages &m_pages;
    int m_listener = -1;
    Clock::time_point m_acceptPausedUntil;
    std::vector<Connection> m_connections;
};
