#pragma once

#include <QString>
#include <QStringList>

// What the choice of the local address needs to know of one interface.
struct InterfaceAddresses
{
    int index = 0;
    bool up = false;
    bool loopback = false;
    // In text, as QHostAddress reads and writes them.
    QStringList addresses;
};

// The first IPv4 address, not a loopback one, of an interface that is up and
// not loopback, interfaces taken in index order; "127.0.0.1" when there is
// none. The choice wherever Qt lists the interfaces (not on Windows, where the
// system's adapter list decides).
QString chooseLocalIpAddress(QList<InterfaceAddresses> interfaces);

// The machine's local IPv4 address, chosen as above among its interfaces.
QString localIpAddress();
