#include "ColorButton.h"

#include "Dialogs.h"

#include <QGridLayout>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QStyle>
#include <QStyleOption>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidgetAction>

#include <array>

namespace VistelCapture
{
namespace
{

struct StandardColor
{
    QRgb rgb;
    const char* name; // UTF-8, the swatch's accessible name and tool tip
};

// The 20 standard colours of a desktop palette, in rows of five.
constexpr std::array<StandardColor, 20> standardColors{{
    {0x000000, "黒"},       {0x800000, "暗い赤"}, {0x008000, "暗い緑"},   {0x808000, "オリーブ"},
    {0x000080, "紺"},       {0x800080, "紫"},     {0x008080, "青緑"},     {0xC0C0C0, "明るい灰色"},
    {0xC0DCC0, "薄い緑"},   {0xA6CAF0, "空色"},   {0xFFFBF0, "クリーム"}, {0xA0A0A4, "灰色"},
    {0x808080, "暗い灰色"}, {0xFF0000, "赤"},     {0x00FF00, "緑"},       {0xFFFF00, "黄"},
    {0x0000FF, "青"},       {0xFF00FF, "赤紫"},   {0x00FFFF, "水色"},     {0xFFFFFF, "白"},
}};

QIcon Swatch(const QColor& color, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(color);
    QPainter painter(&pixmap);
    painter.setPen(Qt::darkGray);
    painter.drawRect(0, 0, size - 1, size - 1);
    return QIcon(pixmap);
}

} // namespace

ColorButton::ColorButton(QWidget* parent) : QPushButton(parent)
{
    // No text of its own: the colour is what it shows.
    setAccessibleName(QStringLiteral("色"));
    connect(this, &QPushButton::clicked, this, &ColorButton::ShowPalette);
}

void ColorButton::SetColor(const QColor& value)
{
    if (value != color)
    {
        color = value;
        setAccessibleDescription(color.name());
        update();
    }
}

void ColorButton::Choose(const QColor& value)
{
    if (paletteMenu)
    {
        paletteMenu->close();
    }
    SetColor(value);
    emit ColorChosen(color);
}

void ColorButton::ShowPalette()
{
    if (!paletteMenu)
    {
        paletteMenu = new QMenu(this);
        auto* content = new QWidget(paletteMenu);
        auto* column = new QVBoxLayout(content);
        column->setContentsMargins(4, 4, 4, 4);
        auto* grid = new QGridLayout();
        grid->setSpacing(2);
        const int swatchSize = fontMetrics().height();
        for (std::size_t i = 0; i < standardColors.size(); ++i)
        {
            const QColor swatchColor = QColor::fromRgb(standardColors[i].rgb);
            auto* swatch = new QToolButton(content);
            swatch->setIcon(Swatch(swatchColor, swatchSize));
            swatch->setIconSize(QSize(swatchSize, swatchSize));
            swatch->setAutoRaise(true);
            swatch->setAccessibleName(QString::fromUtf8(standardColors[i].name));
            swatch->setToolTip(swatch->accessibleName());
            connect(swatch, &QToolButton::clicked, this, [this, swatchColor] { Choose(swatchColor); });
            grid->addWidget(swatch, int(i) / PaletteColumns, int(i) % PaletteColumns);
        }
        column->addLayout(grid);
        auto* other = new QPushButton(OtherColorsText(), content);
        connect(other, &QPushButton::clicked, this,
                [this]
                {
                    paletteMenu->close();
                    if (const auto chosen = Dialogs::Current().GetColor(this, color))
                    {
                        Choose(*chosen);
                    }
                });
        column->addWidget(other);
        auto* action = new QWidgetAction(paletteMenu);
        action->setDefaultWidget(content);
        paletteMenu->addAction(action);
    }
    // Not exec(): the palette must never hold the event loop of a caller (or a test).
    paletteMenu->popup(mapToGlobal(QPoint(0, height())));
}

void ColorButton::paintEvent(QPaintEvent* event)
{
    QPushButton::paintEvent(event);
    QPainter painter(this);
    QStyleOption option;
    option.initFrom(this);
    const int margin = 4;
    const int arrowWidth = qMax(8, height() / 2);
    const QRect swatch = rect().adjusted(margin, margin, -margin - arrowWidth, -margin);
    // Disabled, the colour fades towards the button so the state reads at a glance.
    const QColor button = option.palette.color(QPalette::Button);
    const QColor faded((color.red() + button.red()) / 2, (color.green() + button.green()) / 2,
                       (color.blue() + button.blue()) / 2);
    painter.fillRect(swatch, isEnabled() ? color : faded);
    painter.setPen(
        option.palette.color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    painter.drawRect(swatch.adjusted(0, 0, -1, -1));
    option.rect = QRect(swatch.right() + 2, 0, arrowWidth, height());
    style()->drawPrimitive(QStyle::PE_IndicatorArrowDown, &option, &painter, this);
}

} // namespace VistelCapture
