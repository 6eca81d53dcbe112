#include "FocusPeakingPage.h"

#include "ScoreGraph.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>

namespace Vistel::PictureAids
{
namespace
{

struct NamedColor
{
    const char* name;
    std::uint32_t color; // 0x00BBGGRR
};

constexpr NamedColor colors[] = {
    {"赤", 0x0000FF}, {"緑", 0x00FF00},       {"青", 0xFF0000},     {"黄", 0x00FFFF},
    {"白", 0xFFFFFF}, {"マゼンタ", 0xFF00FF}, {"シアン", 0xFFFF00},
};

QIcon Swatch(std::uint32_t color)
{
    QPixmap pixmap(12, 12);
    pixmap.fill(QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF));
    return QIcon(pixmap);
}

} // namespace

FocusPeakingPage::FocusPeakingPage(FocusPeakingProcessor& owner, QWidget* parent)
    : QWidget(parent), processor(&owner), thresholdSlider(new QSlider(Qt::Horizontal, this)),
      thresholdBox(new QSpinBox(this)), colorBox(new QComboBox(this)), scoreValue(new QLabel(this)),
      peakValue(new QLabel(this)), regionValue(new QLabel(this)),
      graph(new ScoreGraph(static_cast<double>(FocusPeakingProcessor::historyLength.count()), this))
{
    auto* layout = new QGridLayout(this);
    auto* thresholdLabel = new QLabel(QStringLiteral("しきい値"), this);
    thresholdSlider->setRange(1, 254);
    thresholdBox->setRange(1, 254);
    thresholdSlider->setAccessibleName(thresholdLabel->text());
    thresholdBox->setAccessibleName(thresholdLabel->text());
    thresholdSlider->setValue(processor->GetThreshold());
    thresholdBox->setValue(processor->GetThreshold());
    layout->addWidget(thresholdLabel, 0, 0);
    layout->addWidget(thresholdSlider, 0, 1);
    layout->addWidget(thresholdBox, 0, 2);

    auto* colorLabel = new QLabel(QStringLiteral("色"), this);
    colorBox->setAccessibleName(colorLabel->text());
    const std::uint32_t current = processor->GetColor();
    for (const auto& named : colors)
    {
        colorBox->addItem(Swatch(named.color), QString::fromUtf8(named.name), named.color);
    }
    if (colorBox->findData(current) < 0)
    {
        colorBox->addItem(Swatch(current), QStringLiteral("その他"), current);
    }
    colorBox->setCurrentIndex(colorBox->findData(current));
    layout->addWidget(colorLabel, 1, 0);
    layout->addWidget(colorBox, 1, 1, 1, 2);

    layout->addWidget(new QLabel(QStringLiteral("鮮鋭度"), this), 2, 0);
    scoreValue->setObjectName(QStringLiteral("score"));
    layout->addWidget(scoreValue, 2, 1, 1, 2);
    layout->addWidget(new QLabel(QStringLiteral("最大"), this), 3, 0);
    peakValue->setObjectName(QStringLiteral("peak"));
    layout->addWidget(peakValue, 3, 1, 1, 2);
    layout->addWidget(graph, 4, 0, 1, 3);
    layout->addWidget(new QLabel(QStringLiteral("評価範囲"), this), 5, 0);
    regionValue->setObjectName(QStringLiteral("region"));
    layout->addWidget(regionValue, 5, 1);
    auto* wholeButton = new QPushButton(QStringLiteral("全体"), this);
    layout->addWidget(wholeButton, 5, 2);
    layout->setRowStretch(6, 1);

    connect(thresholdSlider, &QSlider::valueChanged, thresholdBox, &QSpinBox::setValue);
    connect(thresholdBox, &QSpinBox::valueChanged, thresholdSlider, &QSlider::setValue);
    connect(thresholdBox, &QSpinBox::valueChanged, this,
            [this](int value) { processor->SetThreshold(value); });
    connect(colorBox, &QComboBox::currentIndexChanged, this,
            [this](int index) { processor->SetColor(colorBox->itemData(index).toUInt()); });
    connect(wholeButton, &QPushButton::clicked, this,
            [this]
            {
                processor->ClearRegion();
                Refresh();
            });

    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &FocusPeakingPage::Refresh);
    timer->start(100);
    Refresh();
}

void FocusPeakingPage::Refresh()
{
    const auto readout = processor->GetReadout();
    scoreValue->setText(readout.valid ? QString::number(readout.score, 'f', 1) : QStringLiteral("-"));
    peakValue->setText(readout.valid ? QString::number(readout.peak, 'f', 1) : QStringLiteral("-"));
    regionValue->setText(readout.scored.empty() ? QStringLiteral("全体")
                                                : QStringLiteral("%1, %2  %3 x %4")
                                                      .arg(readout.scored.x)
                                                      .arg(readout.scored.y)
                                                      .arg(readout.scored.width)
                                                      .arg(readout.scored.height));
    graph->SetHistory(readout.history, readout.peak);
}

} // namespace Vistel::PictureAids
