#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace VistelCapture
{

// Turns the dialog units of a window template into pixels with the base units of the template's
// font: a horizontal unit is a quarter of the font's average character width, a vertical unit an
// eighth of its height, each rounded to the nearest pixel like the toolkit it comes from.
class DialogUnits
{
public:
    // family: the template's font ("MS UI Gothic", "MS Shell Dlg"); fontconfig substitutes the
    // installed font when the family is missing.
    DialogUnits(const QString& family, int pointSize);
    explicit DialogUnits(const QFont& font);

    const QFont& GetFont() const noexcept { return font; }
    int GetBaseX() const noexcept { return baseX; }
    int GetBaseY() const noexcept { return baseY; }

    int ToPixelsX(int units) const noexcept;
    int ToPixelsY(int units) const noexcept;
    QSize ToPixels(int width, int height) const noexcept;
    QRect ToPixels(int x, int y, int width, int height) const noexcept;

private:
    QFont font;
    int baseX = 1;
    int baseY = 1;
};

} // namespace VistelCapture
