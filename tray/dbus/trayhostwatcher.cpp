#include "trayhostwatcher.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>

TrayHostWatcher::TrayHostWatcher(QObject *parent) : QObject(parent) {}

TrayHostWatcher::~TrayHostWatcher() = default;

void TrayHostWatcher::start()
{
    if (m_started)
        return;
    m_started = true;
    // A tray over D-Bus (StatusNotifierItem) can go away under the icon, and
    // Qt keeps the icon registered with nobody.
    auto *watcher = new QDBusServiceWatcher(QStringLiteral("org.kde.StatusNotifierWatcher"),
                                            QDBusConnection::sessionBus(),
                                            QDBusServiceWatcher::WatchForUnregistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, &TrayHostWatcher::hostGone);
}
