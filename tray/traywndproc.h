#pragma once

#include <QObject>
#include <QPointer>

class QWidget;

// Keeps a window that sits in the tray out of reach: while installed it drops
// every event sent to the window, queued calls included. The tray icon's press
// reaches the window through the icon's own object, which is not filtered.
class TrayWndProc final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TrayWndProc)

public:
    explicit TrayWndProc(QObject *parent = nullptr);
    ~TrayWndProc() override;

    void install(QWidget *window);
    void remove();
    bool isInstalled() const { return !m_window.isNull(); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPointer<QWidget> m_window;
};
