#include "traywndproc.h"

#include <QWidget>

TrayWndProc::TrayWndProc(QObject *parent) : QObject(parent) {}

TrayWndProc::~TrayWndProc()
{
    remove();
}

void TrayWndProc::install(QWidget *window)
{
    if (m_window == window)
        return;
    remove();
    m_window = window;
    if (m_window)
        m_window->installEventFilter(this);
}

void TrayWndProc::remove()
{
    if (m_window)
        m_window->removeEventFilter(this);
    m_window = nullptr;
}

bool TrayWndProc::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_window)
        return true;
    return QObject::eventFilter(watched, event);
}
