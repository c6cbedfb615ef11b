#pragma once

#include <QString>

class QSystemTrayIcon;

// The text of a notification from the icon, as it must be handed to Qt: the
// server's words are shown as they are, whoever draws the notification.
// What that takes is the platform's own (dbus/, windows/, chosen in CMake).
QString notificationText(const QSystemTrayIcon &icon, const QString &text);
