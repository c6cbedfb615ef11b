#include "notificationtext.h"

#include <QSystemTrayIcon>

QString notificationText(const QSystemTrayIcon &icon, const QString &text)
{
    // Qt knows where its icon is only where it draws the icon itself, in an
    // XEmbed tray, and shows its own balloon there, in plain text. Where the
    // panel draws it, over D-Bus, the text goes to org.freedesktop.Notifications
    // as the body, which services read as markup: a server's last line could
    // hold a link.
    if (!icon.geometry().isEmpty())
        return text;
    QString escaped = text;
    return escaped.replace(u'&', QStringLiteral("&amp;"))
        .replace(u'<', QStringLiteral("&lt;"))
        .replace(u'>', QStringLiteral("&gt;"));
}
