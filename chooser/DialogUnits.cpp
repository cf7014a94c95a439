#include "chooser/DialogUnits.h"

#include <QFont>
#include <QFontMetrics>

namespace orfeo {

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // The average width of the 52 Latin letters, rounded, as dialog templates have always measured it.
    const int letters =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = (letters / 26 + 1) / 2;
    m_baseY = metrics.height();
}

QRect DialogUnits::ToPixels(int x, int y, int width, int height) const {
    return QRect(x * m_baseX / 4, y * m_baseY / 8, width * m_baseX / 4, height * m_baseY / 8);
}

QSize DialogUnits::ToPixels(int width, int height) const {
    return QSize(width * m_baseX / 4, height * m_baseY / 8);
}

}  // namespace orfeo
