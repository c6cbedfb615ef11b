#include "trayhostwatcher.h"

TrayHostWatcher::TrayHostWatcher(QObject *parent) : QObject(parent) {}

TrayHostWatcher::~TrayHostWatcher() = default;

// The notification area belongs to Explorer, which announces itself again
// when it restarts ("TaskbarCreated"); Qt then puts the icon back by itself.
// The icon is never left without a tray, so there is nothing to watch.
void TrayHostWatcher::start()
{
    m_started = true;
}
