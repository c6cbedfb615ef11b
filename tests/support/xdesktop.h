#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/types.h>

#include <cstdint>

class QObject;
struct xcb_connection_t;

// Runs xdotool with an argument vector; false when it failed or found nothing.
bool xdotool(const QStringList &arguments, QString *output = nullptr);

// Whether an object handles what is posted to it, or sits in the tray with
// every event swallowed.
bool takesEvents(QObject *receiver);

// A desktop of its own for a test: Xvfb on a free display and icewm on it,
// with or without a tray host. Ends both, by their process ids, when
// destroyed. It also reads what the X server knows about windows, through a
// connection of its own, so a test can check the window manager's view and
// not only Qt's.
class XDesktop final
{
    Q_DISABLE_COPY_MOVE(XDesktop)

public:
    enum class Tray
    {
        With,
        Without
    };

    XDesktop();
    ~XDesktop();

    // Starts the display, sets DISPLAY and starts the window manager. Returns
    // why it could not, or an empty string. skippable() tells whether the
    // machine merely lacks the programs.
    QString start(Tray tray);
    // start() for a test's main(): 0 once started, else the reason on
    // standard error and the status to exit with (77, skipped, where the
    // machine merely lacks the programs).
    int startOrReport(Tray tray);
    bool skippable() const { return m_skippable; }
    // Replaces the window manager by a new one, with or without a tray.
    QString restartWindowManager(Tray tray);

    bool trayHostPresent() const;
    // ICCCM WM_STATE of a client window: 1 normal, 3 iconic, 0 withdrawn or unset.
    int wmState(quintptr window) const;
    bool isViewable(quintptr window) const;
    // The windows the window manager lists, as on its taskbar.
    QList<quintptr> clientList() const;
    QStringList allowedActions(quintptr window) const;
    QString windowName(quintptr window) const;
    // How often a program asked the window manager to activate the window
    // (_NET_ACTIVE_WINDOW) since the desktop started. Unlike the focus, this
    // does not depend on the window manager's focus policy: icewm may focus a
    // window that maps by itself, which would hide a missing request.
    int activationRequests(quintptr window);

private:
    QString startWindowManager(Tray tray);
    void stopWindowManager();
    bool windowManagerReady() const;
    bool ownsSelection(const char *selection) const;
    std::uint32_t atom(const char *name) const;
    QList<std::uint32_t> cardinals(std::uint32_t window, const char *property) const;

    QHash<quintptr, int> m_activationRequests;
    QTemporaryDir m_dir;
    pid_t m_xvfb = -1;
    pid_t m_windowManager = -1;
    xcb_connection_t *m_connection = nullptr;
    std::uint32_t m_root = 0;
    bool m_skippable = false;

public:
    // The screen's size in pixels, for a start() still to come; 1280 x 1024
    // unless set. A window at twice the density needs twice the room.
    void setScreenSize(int width, int height);

private:
    QString m_screenSize = QStringLiteral("1280x1024x24");
};
