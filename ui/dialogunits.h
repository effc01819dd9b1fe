#pragma once

#include <QFont>
#include <QRect>

namespace tw {

// Turns dialog-template units into pixels the way the original templates were
// measured: a horizontal unit is a quarter of the font's average character
// width, a vertical unit an eighth of its height.
class DialogUnits
{
public:
    explicit DialogUnits(const QFont& font);

    int x(int units) const;
    int y(int units) const;
    QRect rect(int x, int y, int width, int height) const;

    int averageCharWidth() const { return m_avgWidth; }
    int charHeight() const { return m_avgHeight; }

    // The templates' 9-point font, with the CJK fonts a Linux desktop has as
    // fallbacks for the original face.
    static QFont templateFont();

private:
    int m_avgWidth;
    int m_avgHeight;
};

} // namespace tw
