#pragma once

#include <QAccessible>
#include <QAccessibleWidget>
#include <QVariant>
#include <QWidget>

// A window of its own made from a plain QWidget reaches screen readers as a
// "filler", a piece of some other window. This gives it the role of what it
// is: the program's main window (QAccessible::Window, a frame) or a dialog.
// Call it before anything has asked for the window's interface.
inline void setAccessibleWindowRole(QWidget *window, QAccessible::Role role)
{
    static const char kRole[] = "orbelithWindowRole";
    window->setProperty(kRole, int(role));
    QAccessible::installFactory([](const QString &, QObject *object) -> QAccessibleInterface * {
        auto *widget = qobject_cast<QWidget *>(object);
        const QVariant role = widget ? widget->property(kRole) : QVariant();
        return role.isValid() ? new QAccessibleWidget(widget, QAccessible::Role(role.toInt())) : nullptr;
    });
}
