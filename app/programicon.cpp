#include "programicon.h"

#include <QIconEngine>
#include <QPainter>

#include <array>
#include <cstddef>
#include <memory>
#include <optional>

namespace {

constexpr std::array kSizes{16, 24, 32, 48, 64, 128, 256};

// The index of the smallest image that covers a size, as Qt's own icons
// choose; the largest where none does.
std::size_t coveringImage(const QSize &size)
{
    for (std::size_t i = 0; i < kSizes.size(); ++i) {
        if (kSizes[i] >= size.width() && kSizes[i] >= size.height())
            return i;
    }
    return kSizes.size() - 1;
}

// Each image in an icon of its own, which also derives the other modes;
// empty until first needed.
using Images = std::array<std::optional<QIcon>, kSizes.size()>;

// One set of images for all the program's icons while any of them lives.
std::shared_ptr<Images> sharedImages()
{
    static std::weak_ptr<Images> shared;
    std::shared_ptr<Images> images = shared.lock();
    if (!images) {
        images = std::make_shared<Images>();
        shared = images;
    }
    return images;
}

// Offers the sizes up to a largest one and draws each from the image that
// covers it, decoding that image once, when it is first needed.
class DeferredIconEngine final : public QIconEngine
{
public:
    explicit DeferredIconEngine(int largestOffered)
        : m_largestOffered(largestOffered), m_images(sharedImages())
    {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatio() : 1.0;
        image(coveringImage(rect.size() * ratio)).paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    // Sizes arrive here already in device pixels: the inner icon is asked at
    // a ratio of 1, so that the screen's ratio is not applied twice.
    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override
    {
        const int side = kSizes[coveringImage(size)];
        QSize actual(side, side);
        if (actual.width() > size.width() || actual.height() > size.height())
            actual.scale(size, Qt::KeepAspectRatio);
        return actual;
    }
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return image(coveringImage(size)).pixmap(size, 1.0, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        // Known without decoding anything; other modes are derived from these.
        if (mode != QIcon::Normal || state != QIcon::Off)
            return {};
        QList<QSize> sizes;
        for (const int size : kSizes) {
            if (size <= m_largestOffered)
                sizes.append(QSize(size, size));
        }
        return sizes;
    }
    bool isNull() override { return false; }
    QString key() const override { return QStringLiteral("orbelith-deferred"); }
    QIconEngine *clone() const override { return new DeferredIconEngine(*this); }

private:
    const QIcon &image(std::size_t index) const
    {
        std::optional<QIcon> &slot = (*m_images)[index];
        if (!slot) {
            const int side = kSizes[index];
            slot.emplace();
            slot->addFile(QStringLiteral(":/icons/orbelith-%1.png").arg(side), QSize(side, side));
        }
        return *slot;
    }

    int m_largestOffered;
    std::shared_ptr<Images> m_images;
};

} // namespace

QIcon programIcon()
{
    return QIcon(new DeferredIconEngine(kSizes.back()));
}

QIcon programWindowIcon()
{
    return QIcon(new DeferredIconEngine(128));
}

QIcon programFirstShowIcon()
{
    return QIcon(new DeferredIconEngine(32));
}
