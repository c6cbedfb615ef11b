#pragma once

#include <string>

#include <sys/types.h>

namespace bench {

// The floor of Start, without Qt: the same two files written beside their
// final names, synced and renamed into place, then the same program spawned
// the way the front-end starts it (own session, standard streams on
// /dev/null). Returns the nanoseconds taken, or -1 with errno set; the spawned
// process is left for the caller to reap. filesNs, when given, receives the
// part spent on the files.
long long startFloor(const std::string &directory, const std::string &configBytes,
                     const std::string &lastSettingsBytes, const std::string &program, pid_t *spawned,
                     long long *filesNs = nullptr);

// The whole of a file, or an empty string when it cannot be read.
std::string readWholeFile(const std::string &path);

} // namespace bench
