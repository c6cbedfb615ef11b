#include "trayicon.h"

#include "notificationtext.h"
#include "trayhostwatcher.h"

#include <QIcon>

TrayIcon::TrayIcon(QObject *parent)
    : QObject(parent), m_icon(new QSystemTrayIcon(this)), m_hostWatcher(new TrayHostWatcher(this))
{
    // Queued: on X11 the press arrives inside the icon window's own mouse
    // handler, and removing the icon there would delete that window under it.
    connect(m_icon, &QSystemTrayIcon::activated, this, &TrayIcon::onActivated, Qt::QueuedConnection);
    // Queued for the same reason: Qt's balloon reports the click from its own handler.
    connect(m_icon, &QSystemTrayIcon::messageClicked, this, &TrayIcon::onMessageClicked,
            Qt::QueuedConnection);
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
    m_notificationShown = false;
}

void TrayIcon::showNotification(const QString &title, const QString &message)
{
    if (!m_icon->isVisible())
        return;
    m_notificationShown = true;
    // Critical: Qt's D-Bus tray gives only such a notification the "default"
    // action, the one through which a notification service reports a click;
    // and a server that ended by itself is what the operator must not miss.
    m_icon->showMessage(title, notificationText(*m_icon, message), QSystemTrayIcon::Critical);
}

void TrayIcon::onMessageClicked()
{
    // Qt's D-Bus tray reports any action of any notification from the
    // service: only one of this icon's, while it is shown, counts.
    if (m_notificationShown && m_icon->isVisible())
        emit notificationClicked();
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
