#pragma once

#include <QObject>

// Tells when the desktop's tray goes away under an icon that is shown in it.
// How that is seen is the platform's own (dbus/, windows/, chosen in CMake).
class TrayHostWatcher final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TrayHostWatcher)

public:
    explicit TrayHostWatcher(QObject *parent = nullptr);
    ~TrayHostWatcher() override;

    // Begins watching; later calls do nothing. Called once an icon is shown,
    // so that a window that is never minimized never asks the desktop.
    void start();

signals:
    void hostGone();

private:
    bool m_started = false;
};
