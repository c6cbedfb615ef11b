#include "programicon.h"

#include <QIconEngine>
#include <QPainter>

#include <array>
#include <memory>
#include <optional>

namespace {

constexpr std::array kSizes{16, 24, 32, 48, 64, 128, 256};

// Stands for the full icon until an image is needed, then builds it once.
// Copies share what was built.
class DeferredIconEngine final : public QIconEngine
{
public:
    DeferredIconEngine() : m_icon(std::make_shared<std::optional<QIcon>>()) {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        icon().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    // Sizes arrive here already in device pixels: the inner icon is asked at
    // a ratio of 1, so that the screen's ratio is not applied twice.
    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override
    {
        // The smallest image that covers the size, shrunk to it, as Qt's own
        // icons choose.
        int side = kSizes.back();
        for (const int candidate : kSizes) {
            if (candidate >= size.width() && candidate >= size.height()) {
                side = candidate;
                break;
            }
        }
        QSize actual(side, side);
        if (actual.width() > size.width() || actual.height() > size.height())
            actual.scale(size, Qt::KeepAspectRatio);
        return actual;
    }
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().pixmap(size, 1.0, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        // Known without decoding anything; other modes are derived from these.
        if (mode != QIcon::Normal || state != QIcon::Off)
            return {};
        QList<QSize> sizes;
        for (const int size : kSizes)
            sizes.append(QSize(size, size));
        return sizes;
    }
    bool isNull() override { return false; }
    QString key() const override { return QStringLiteral("orbelith-deferred"); }
    QIconEngine *clone() const override { return new DeferredIconEngine(*this); }

private:
    const QIcon &icon() const
    {
        if (!*m_icon) {
            QIcon built;
            for (const int size : kSizes)
                built.addFile(QStringLiteral(":/icons/orbelith-%1.png").arg(size), QSize(size, size));
            *m_icon = built;
        }
        return **m_icon;
    }

    std::shared_ptr<std::optional<QIcon>> m_icon;
};

} // namespace

QIcon programIcon()
{
    return QIcon(new DeferredIconEngine);
}
