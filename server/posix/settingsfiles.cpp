#include "platformfiles.h"

#include <QStringDecoder>

EightBitText toEightBitText(QStringView text)
{
    return {text.toUtf8(), -1};
}

QString fromEightBitText(QByteArrayView bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes = bytes.sliced(3);
    // QString::fromUtf8 would silently drop a second mark as well.
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    return utf8(bytes);
}

QString eightBitTextName()
{
    return QStringLiteral("UTF-8");
}

QString folderRefusalReason(const QString &)
{
    return {};
}
