#include "trayicon.h"

#include "trayhostwatcher.h"

#include <QIcon>

TrayIcon::TrayIcon(QObject *parent)
    : QObject(parent), m_icon(new QSystemTrayIcon(this)), m_hostWatcher(new TrayHostWatcher(this))
{
    // Queued: on X11 the press arrives inside the icon window's own mouse
    // handler, and removing the icon there would delete that window under it.
    connect(m_icon, &QSystemTrayIcon::activated, this, &TrayIcon::onActivated, Qt::QueuedConnection);
    connect(m_hostWatcher, &TrayHostWatcher::hostGone, this, &TrayIcon::onTrayHostGone);
}

TrayIcon::~TrayIcon() = default;

bool TrayIcon::AddTrayIcon(const QIcon &icon, const QString &toolTip)
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return false;
    m_icon->setIcon(icon);
    m_icon->setToolTip(toolTip);
    m_icon->show();
    m_hostWatcher->start();
    return true;
}

void TrayIcon::RemoveTrayIcon()
{
    m_icon->hide();
}

bool TrayIcon::isShown() const
{
    return m_icon->isVisible();
}

void TrayIcon::onTrayHostGone()
{
    // Only a tray that is gone for this icon counts: where Qt docked the icon
    // in an XEmbed tray, that tray is still there.
    if (m_icon->isVisible() && !QSystemTrayIcon::isSystemTrayAvailable())
        emit trayLost();
}

void TrayIcon::onActivated(QSystemTrayIcon::ActivationReason reason)
{
    // Qt reports the left press as Trigger and a double click's second press
    // as DoubleClick. A Trigger queued behind the one that restored the window
    // finds the icon gone; it counts for nothing, as do the other buttons.
    if (reason == QSystemTrayIcon::Trigger && m_icon->isVisible())
        emit leftButtonPressed();
}
