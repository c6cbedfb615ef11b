// A stand-in for the dedicated server: it reads the settings file the GUI
// has just written in the current directory and shows it over HTTP on the
// configured address, until SIGTERM or SIGINT.

#include "standinconfig.h"
#include "standinpages.h"
#include "standinserver.h"

#include <csignal>
#include <cstdio>

namespace {

void printError(const QString &message)
{
    const QByteArray line = QByteArrayLiteral("orbelithsrv: ") + message.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
}

} // namespace

int main()
{
    // Blocked from the start, the stop signals wait for the server's loop
    // instead of ending the program half-way through starting.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

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
    if (!server.bind(*address, &error) || !server.run(stopSignals, &error)) {
        printError(error);
        return 1;
    }
    return 0;
}
