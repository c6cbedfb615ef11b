#include "localaddress.h"

#include <QHostAddress>
#include <QNetworkInterface>

#include <algorithm>

QString chooseLocalIpAddress(QList<InterfaceAddresses> interfaces)
{
    std::stable_sort(
        interfaces.begin(), interfaces.end(),
        [](const InterfaceAddresses &a, const InterfaceAddresses &b) { return a.index < b.index; });
    for (const InterfaceAddresses &iface : interfaces) {
        if (!iface.up || iface.loopback)
            continue;
        // The address goes into the configuration's IP key and the Server
        // State address, which take IPv4 only.
        for (const QString &address : iface.addresses) {
            const QHostAddress ip(address);
            if (ip.protocol() == QAbstractSocket::IPv4Protocol && !ip.isLoopback())
                return ip.toString();
        }
    }
    return QStringLiteral("127.0.0.1");
}

QString localIpAddress()
{
    QList<InterfaceAddresses> interfaces;
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        InterfaceAddresses described;
        described.index = iface.index();
        described.up = iface.flags().testFlag(QNetworkInterface::IsUp);
        described.loopback = iface.flags().testFlag(QNetworkInterface::IsLoopBack);
        for (const QNetworkAddressEntry &entry : iface.addressEntries())
            described.addresses.append(entry.ip().toString());
        interfaces.append(described);
    }
    return chooseLocalIpAddress(std::move(interfaces));
}
