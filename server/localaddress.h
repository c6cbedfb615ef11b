#pragma once

#include <QString>

// The machine's local IPv4 address: the first address of an interface that is
// up and not loopback, interfaces taken in index order; "127.0.0.1" when there
// is none.
QString localIpAddress();
