#pragma once

#include <QRect>
#include <QSize>

class QFont;

namespace orfeo {

// Dialog templates give positions in dialog units: a quarter of the font's average character width
// across, an eighth of its height down. These convert them for a given font.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    QRect ToPixels(int x, int y, int width, int height) const;
    QSize ToPixels(int width, int height) const;

private:
    int m_baseX;
    int m_baseY;
};

}  // namespace orfeo
