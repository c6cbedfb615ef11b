#pragma once

// Starting and ending the benchmark's own child processes, by PID only.

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

namespace bench {

struct ChildRun
{
    bool ok = false;          // started, exited with 0, within the time allowed
    std::int64_t spawnNs = 0; // the parent's clock just before the spawn
    std::string output;       // everything it wrote on its standard output
    std::string error;        // why it is not ok
};

// Runs a program to its end with an argument vector (no shell), in a folder,
// with the given environment; its standard error goes to a file. One that
// outlives timeoutMs is killed, by its PID.
ChildRun runChild(const std::vector<std::string> &argv, const std::string &directory,
                  const std::vector<std::string> &environment, const std::string &stderrPath, int timeoutMs);

// This process's environment with some variables replaced ("NAME=value") or
// removed ("NAME").
std::vector<std::string> environmentWith(const std::vector<std::string> &changes);

// The full path of a program on PATH, or empty.
std::string findOnPath(const std::string &name);

// A virtual X server of the benchmark's own, on a display number it picks as
// free itself, accepting no TCP connections.
class VirtualDisplay
{
public:
    VirtualDisplay() = default;
    VirtualDisplay(const VirtualDisplay &) = delete;
    VirtualDisplay &operator=(const VirtualDisplay &) = delete;
    ~VirtualDisplay() { stop(); }

    // False with the reason in error() when it could not be started.
    bool start(const std::string &xvfb, const std::string &logPath);
    void stop();
    const std::string &display() const { return m_display; }
    const std::string &error() const { return m_error; }

private:
    pid_t m_pid = -1;
    std::string m_display;
    std::string m_error;
};

// Starts a program that waits an hour doing nothing (sleep 3600), by path.
pid_t spawnIdle(const std::string &sleepProgram);
// Ends and reaps them, by PID.
void endIdle(const std::vector<pid_t> &pids);

// Reaps any child that ended and was not waited for (orphans handed to this
// process as a subreaper). Returns how many are still running.
int reapStrayChildren();

} // namespace bench
