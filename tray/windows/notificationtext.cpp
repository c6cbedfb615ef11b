#include "notificationtext.h"

// The shell's balloon shows the text as it is.
QString notificationText(const QSystemTrayIcon &, const QString &text)
{
    return text;
}
