#pragma once

#include <QObject>
#include <QSystemTrayIcon>

class QIcon;
class TrayHostWatcher;

// The program's icon in the desktop's tray, shown while the main window is
// hidden there. A left-button press on it is the only thing it reports; it has
// no context menu.
class TrayIcon final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TrayIcon)

public:
    explicit TrayIcon(QObject *parent = nullptr);
    ~TrayIcon() override;

    // Shows the icon. False when the desktop has no tray to show it in; the
    // icon is then left out, and a later call tries again.
    bool AddTrayIcon(const QIcon &icon, const QString &toolTip);
    void RemoveTrayIcon();
    bool isShown() const;
    // A notification from the shown icon: through the desktop's notification
    // service where Qt's tray speaks D-Bus, Qt's own balloon beside an XEmbed
    // tray, the shell's balloon on Windows. The message is shown as text in each.
    void showNotification(const QString &title, const QString &message);

signals:
    void leftButtonPressed();
    // The notification was clicked while the icon is shown.
    void notificationClicked();
    // The desktop's tray went away while the icon was in it (a panel that
    // restarts): nobody shows the icon any more.
    void trayLost();

private:
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    void onMessageClicked();
    void onTrayHostGone();

    QSystemTrayIcon *m_icon = nullptr;
    TrayHostWatcher *m_hostWatcher = nullptr;
    // A notification of this icon may still be clicked.
    bool m_notificationShown = false;
};
