// A server that ignores SIGTERM, so that only the kill after the grace period
// ends it. It says it is ready by writing "stubborn.ready" into its directory.
#include <csignal>
#include <cstdio>
#include <unistd.h>

int main()
{
    std::signal(SIGTERM, SIG_IGN);
    if (std::FILE *ready = std::fopen("stubborn.ready", "w"))
        std::fclose(ready);
    for (;;)
        ::pause();
}
