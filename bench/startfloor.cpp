#include "startfloor.h"

#include "benchclock.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char **environ;

namespace bench {

namespace {

bool writeAll(int fd, const std::string &bytes)
{
    const char *p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= size_t(n);
    }
    return true;
}

// Written and its data synced under a temporary name, as QSaveFile does;
// false with errno set on failure.
bool writeTemporary(const std::string &finalPath, const std::string &bytes, std::string &temporary)
{
    temporary = finalPath + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = writeAll(fd, bytes) && ::fdatasync(fd) == 0;
    const int error = errno;
    ::close(fd);
    errno = error;
    return ok;
}

} // namespace

long long startFloor(const std::string &directory, const std::string &configBytes,
                     const std::string &lastSettingsBytes, const std::string &program, pid_t *spawned,
                     long long *filesNs)
{
    const std::string config = directory + "/orbelithsrv.conf";
    const std::string lastSettings = directory + "/orbelithsrv.ini";

    const long long start = monotonicNs();
    std::string configTemp, lastSettingsTemp;
    if (!writeTemporary(config, configBytes, configTemp) ||
        !writeTemporary(lastSettings, lastSettingsBytes, lastSettingsTemp) ||
        ::rename(configTemp.c_str(), config.c_str()) != 0 ||
        ::rename(lastSettingsTemp.c_str(), lastSettings.c_str()) != 0)
        return -1;
    if (filesNs)
        *filesNs = monotonicNs() - start;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    ::posix_spawnattr_init(&attributes);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
    const int error = ::posix_spawn(spawned, program.c_str(), &actions, &attributes, argv, environ);
    const long long end = monotonicNs();
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return end - start;
}

std::string readWholeFile(const std::string &path)
{
    std::string bytes;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bytes.append(buffer, size_t(n));
    }
    ::close(fd);
    return bytes;
}

} // namespace bench
