#include "RegionStatisticsPage.h"

#include "HistogramView.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

namespace Vistel::PictureAids
{

RegionStatisticsPage::RegionStatisticsPage(RegionStatisticsProcessor& owner, QWidget* parent)
    : QWidget(parent), processor(&owner), regionValue(new QLabel(this)), histogram(new HistogramView(this))
{
    auto* layout = new QGridLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("領域"), this), 0, 0);
    regionValue->setObjectName(QStringLiteral("region"));
    layout->addWidget(regionValue, 0, 1, 1, 3);
    auto* wholeButton = new QPushButton(QStringLiteral("全体"), this);
    layout->addWidget(wholeButton, 0, 4);

    const char* columns[] = {"平均", "標準偏差", "最小", "最大"};
    const char* rows[] = {"R", "G", "B", "輝度"};
    for (int column = 0; column < 4; ++column)
    {
        auto* header = new QLabel(QString::fromUtf8(columns[column]), this);
        header->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        layout->addWidget(header, 1, column + 1);
    }
    for (int row = 0; row < RegionStatistics::ChannelCount; ++row)
    {
        layout->addWidget(new QLabel(QString::fromUtf8(rows[row]), this), row + 2, 0);
        for (int column = 0; column < 4; ++column)
        {
            auto* cell = new QLabel(QStringLiteral("-"), this);
            cell->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            cell->setAccessibleName(QString::fromUtf8(rows[row]) + QLatin1Char(' ') +
                                    QString::fromUtf8(columns[column]));
            layout->addWidget(cell, row + 2, column + 1);
            cells[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] = cell;
        }
    }
    layout->addWidget(histogram, RegionStatistics::ChannelCount + 2, 0, 1, 5);
    layout->setRowStretch(RegionStatistics::ChannelCount + 3, 1);

    connect(wholeButton, &QPushButton::clicked, this,
            [this]
            {
                processor->ClearRegion();
                Refresh();
            });
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &RegionStatisticsPage::Refresh);
    timer->start(100);
    Refresh();
}

QLabel* RegionStatisticsPage::Cell(int channel, int column) const
{
    return cells.at(static_cast<std::size_t>(channel)).at(static_cast<std::size_t>(column));
}

void RegionStatisticsPage::Refresh()
{
    const auto readout = processor->GetReadout();
    if (!readout.valid)
    {
        return;
    }
    const cv::Rect& r = readout.measured;
    regionValue->setText(
        readout.wholeFrame ? QStringLiteral("全体 (%1 x %2)").arg(r.width).arg(r.height)
                           : QStringLiteral("%1, %2  %3 x %4").arg(r.x).arg(r.y).arg(r.width).arg(r.height));
    for (int row = 0; row < RegionStatistics::ChannelCount; ++row)
    {
        const auto& channel = readout.statistics.channels[static_cast<std::size_t>(row)];
        Cell(row, 0)->setText(QString::number(channel.mean, 'f', 2));
        Cell(row, 1)->setText(QString::number(channel.standardDeviation, 'f', 2));
        Cell(row, 2)->setText(QString::number(channel.minimum));
        Cell(row, 3)->setText(QString::number(channel.maximum));
    }
    histogram->SetStatistics(readout.statistics);
}

} // namespace Vistel::PictureAids
