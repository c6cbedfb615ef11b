#pragma once

#include "benchclock.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <functional>

namespace bench {

// Watches every event of the application for the first paint of a top-level
// window. The paint of the window and its children, and the flush to the
// screen, finish before the next pass of the event loop, which is where the
// time is taken: the window is then both shown and painted.
class FirstPaint final : public QObject
{
public:
    explicit FirstPaint(std::function<void()> whenPainted) : m_whenPainted(std::move(whenPainted))
    {
        QCoreApplication::instance()->installEventFilter(this);
    }

    bool painted() const { return m_paintedNs != 0; }
    std::int64_t paintedNs() const { return m_paintedNs; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!m_seen && event->type() == QEvent::Paint && watched->isWidgetType() &&
            static_cast<QWidget *>(watched)->isWindow()) {
            m_seen = true;
            QTimer::singleShot(0, this, [this] {
                m_paintedNs = monotonicNs();
                QCoreApplication::instance()->removeEventFilter(this);
                if (m_whenPainted)
                    m_whenPainted();
            });
        }
        return false;
    }

private:
    std::function<void()> m_whenPainted;
    bool m_seen = false;
    std::int64_t m_paintedNs = 0;
};

// What a start-up child tells the benchmark, on one line of its standard
// output: when it was painted and how much memory it holds then.
inline void reportPaintedAndQuit(std::int64_t paintedNs)
{
    std::printf("painted %lld %ld\n", static_cast<long long>(paintedNs), residentKiB());
    std::fflush(stdout);
    QCoreApplication::exit(0);
}

} // namespace bench
