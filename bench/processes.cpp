#include "processes.h"

#include "benchclock.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace bench {

namespace {

std::vector<char *> cStrings(const std::vector<std::string> &strings)
{
    std::vector<char *> result;
    for (const std::string &s : strings)
        result.push_back(const_cast<char *>(s.c_str()));
    result.push_back(nullptr);
    return result;
}

// Ends a child of ours that would not end by itself.
void killAndReap(pid_t pid)
{
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

// Waits for a child of ours for up to timeoutMs; true when it ended with 0.
bool waitFor(pid_t pid, int timeoutMs, std::string &error)
{
    const std::int64_t deadline = monotonicNs() + std::int64_t(timeoutMs) * 1000000;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
                return true;
            error = WIFEXITED(status) ? "exited with " + std::to_string(WEXITSTATUS(status))
                                      : "ended by signal " + std::to_string(WTERMSIG(status));
            return false;
        }
        if (done < 0) {
            error = std::string("cannot wait: ") + std::strerror(errno);
            return false;
        }
        if (monotonicNs() > deadline) {
            killAndReap(pid);
            error = "did not end in time, killed";
            return false;
        }
        ::usleep(2000);
    }
}

} // namespace

ChildRun runChild(const std::vector<std::string> &argv, const std::string &directory,
                  const std::vector<std::string> &environment, const std::string &stderrPath, int timeoutMs)
{
    ChildRun run;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        run.error = std::string("pipe: ") + std::strerror(errno);
        return run;
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    ::posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    std::vector<char *> args = cStrings(argv);
    std::vector<char *> env = cStrings(environment);

    pid_t pid = -1;
    run.spawnNs = monotonicNs();
    const int spawnError = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawnError != 0) {
        ::close(out[0]);
        run.error = argv[0] + ": " + std::strerror(spawnError);
        return run;
    }

    const std::int64_t deadline = run.spawnNs + std::int64_t(timeoutMs) * 1000000;
    char buffer[4096];
    for (;;) {
        const std::int64_t left = (deadline - monotonicNs()) / 1000000;
        if (left <= 0) {
            ::close(out[0]);
            killAndReap(pid);
            run.error = "no answer in time, killed";
            return run;
        }
        pollfd p{out[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, int(left));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        run.output.append(buffer, size_t(n));
    }
    ::close(out[0]);
    run.ok = waitFor(pid, timeoutMs, run.error);
    return run;
}

std::vector<std::string> environmentWith(const std::vector<std::string> &changes)
{
    const auto nameOf = [](const std::string &entry) {
        return entry.substr(0, entry.find('='));
    };
    std::vector<std::string> result;
    for (char **e = environ; *e; ++e) {
        const std::string entry(*e);
        bool changed = false;
        for (const std::string &c : changes)
            changed = changed || nameOf(c) == nameOf(entry);
        if (!changed)
            result.push_back(entry);
    }
    for (const std::string &c : changes) {
        if (c.find('=') != std::string::npos)
            result.push_back(c);
    }
    return result;
}

std::string findOnPath(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

bool VirtualDisplay::start(const std::string &xvfb, const std::string &logPath)
{
    // Xvfb writes the number of the display it found free to this pipe.
    int number[2];
    if (::pipe2(number, O_CLOEXEC) != 0) {
        m_error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    constexpr int kDisplayFd = 9;
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::posix_spawn_file_actions_adddup2(&actions, 1, 2);
    ::posix_spawn_file_actions_adddup2(&actions, number[1], kDisplayFd);
    const std::vector<std::string> argv{xvfb,        "-displayfd", std::to_string(kDisplayFd),
                                        "-nolisten", "tcp",        "-noreset",
                                        "-screen",   "0",          "1280x1024x24"};
    std::vector<char *> args = cStrings(argv);
    const int spawnError = ::posix_spawn(&m_pid, xvfb.c_str(), &actions, nullptr, args.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(number[1]);
    if (spawnError != 0) {
        ::close(number[0]);
        m_pid = -1;
        m_error = xvfb + ": " + std::strerror(spawnError);
        return false;
    }
    std::string answer;
    const std::int64_t deadline = monotonicNs() + 15 * std::int64_t(1000000000);
    while (answer.find('\n') == std::string::npos && monotonicNs() < deadline) {
        pollfd p{number[0], POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0)
            continue;
        char buffer[32];
        const ssize_t n = ::read(number[0], buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n > 0)
            answer.append(buffer, size_t(n));
    }
    ::close(number[0]);
    if (answer.find('\n') == std::string::npos) {
        stop();
        m_error = "Xvfb did not report a display (see " + logPath + ")";
        return false;
    }
    m_display = ":" + answer.substr(0, answer.find('\n'));
    return true;
}

void VirtualDisplay::stop()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    // Killed and reaped there when it does not end in time.
    std::string ignored;
    waitFor(m_pid, 5000, ignored);
    m_pid = -1;
}

int reapStrayChildren()
{
    for (;;) {
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, WNOHANG);
        if (pid > 0)
            continue;
        if (pid == 0)
            return 1; // at least one still running
        return 0;     // ECHILD: none left
    }
}

pid_t spawnIdle(const std::string &sleepProgram)
{
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const std::vector<std::string> argv{sleepProgram, "3600"};
    std::vector<char *> args = cStrings(argv);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, sleepProgram.c_str(), &actions, nullptr, args.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

void endIdle(const std::vector<pid_t> &pids)
{
    for (const pid_t pid : pids)
        ::kill(pid, SIGKILL);
    for (const pid_t pid : pids)
        ::waitpid(pid, nullptr, 0);
}

} // namespace bench
