#pragma once

#include <QColor>
#include <QPushButton>

class QMenu;

namespace VistelCapture
{

// A button that shows a colour. A click opens a palette of the 20 standard colours in 5 columns
// and a button for other colours (the colour dialog behind the Dialogs seam). Choosing one sets
// it and emits ColorChosen; SetColor from the program emits nothing.
//
// Thread: user-interface thread only.
class ColorButton final : public QPushButton
{
    Q_OBJECT

public:
    explicit ColorButton(QWidget* parent = nullptr);

    QColor GetColor() const { return color; }
    void SetColor(const QColor& value);

    static constexpr int PaletteColumns = 5;
    // The palette's button for a colour outside it.
    static QString OtherColorsText() { return QStringLiteral("その他の色..."); }

signals:
    void ColorChosen(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void ShowPalette();
    void Choose(const QColor& value);

    QColor color{Qt::black};
    QMenu* paletteMenu = nullptr; // built at the first click, owned by this button
};

} // namespace VistelCapture
