// A server that takes a moment to save its state when asked to end: on
// SIGTERM it works for two seconds, which a grace period much shorter than
// the three promised would cut short, says "state saved" on its standard
// output and exits with 0. Killed before that, it says nothing. It says it is ready
// by writing "saving.ready" into its directory.
#include <csignal>
#include <cstdio>
#include <ctime>
#include <unistd.h>

int main()
{
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, nullptr);
    if (std::FILE *ready = std::fopen("saving.ready", "w"))
        std::fclose(ready);
    int signal = 0;
    sigwait(&term, &signal);
    const timespec work{2, 0};
    nanosleep(&work, nullptr);
    std::printf("state saved\n");
    return 0;
}
