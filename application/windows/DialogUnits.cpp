#include "DialogUnits.h"

#include <QFontMetrics>

#include <cstdint>

namespace VistelCapture
{
namespace
{

// units * base / divisor, rounded half away from zero.
int Scale(int units, int base, int divisor) noexcept
{
    const std::int64_t product = static_cast<std::int64_t>(units) * base;
    const std::int64_t half = divisor / 2;
    return static_cast<int>(product >= 0 ? (product + half) / divisor : (product - half) / divisor);
}

QFont TemplateFont(const QString& family, int pointSize)
{
    QFont font(family, pointSize);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

} // namespace

DialogUnits::DialogUnits(const QString& family, int pointSize) : DialogUnits(TemplateFont(family, pointSize))
{
}

DialogUnits::DialogUnits(const QFont& font) : font(font)
{
    // The average width over the 52 Latin letters, rounded up, as dialog managers measure it.
    const QFontMetrics metrics(font);
    const int width =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseX = qMax(1, (width / 26 + 1) / 2);
    baseY = qMax(1, metrics.height());
}

int DialogUnits::ToPixelsX(int units) const noexcept
{
    return Scale(units, baseX, 4);
}

int DialogUnits::ToPixelsY(int units) const noexcept
{
    return Scale(units, baseY, 8);
}

QSize DialogUnits::ToPixels(int width, int height) const noexcept
{
    return {ToPixelsX(width), ToPixelsY(height)};
}

QRect DialogUnits::ToPixels(int x, int y, int width, int height) const noexcept
{
    // Edges are converted, not sizes, so that neighbouring controls still touch.
    const int left = ToPixelsX(x);
    const int top = ToPixelsY(y);
    return {left, top, ToPixelsX(x + width) - left, ToPixelsY(y + height) - top};
}

} // namespace VistelCapture
