#include "ui/dialogunits.h"

#include <QFontMetrics>
#include <QStringList>

namespace tw {

namespace {

// Rounded a * b / c without overflow for the small numbers of a template.
int mulDiv(int a, int b, int c)
{
    const long long p = static_cast<long long>(a) * b;
    return static_cast<int>(p >= 0 ? (p + c / 2) / c : (p - c / 2) / c);
}

} // namespace

DialogUnits::DialogUnits(const QFont& font)
{
    const QFontMetrics fm(font);
    // The average over the Latin alphabet, rounded, as the original system
    // measures a dialog font; the font's own average is unreliable for CJK
    // faces, whose advertised average is a full-width glyph.
    const int alphabet = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_avgWidth = qMax(1, (alphabet / 26 + 1) / 2);
    m_avgHeight = qMax(1, fm.height());
}

int DialogUnits::x(int units) const
{
    return mulDiv(units, m_avgWidth, 4);
}

int DialogUnits::y(int units) const
{
    return mulDiv(units, m_avgHeight, 8);
}

QRect DialogUnits::rect(int left, int top, int width, int height) const
{
    return QRect(x(left), y(top), x(width), y(height));
}

QFont DialogUnits::templateFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("WenQuanYi Zen Hei"),
                      QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Sans Serif")});
    font.setPointSize(9);
    return font;
}

} // namespace tw
