#include "ExposureWarningPage.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QSpinBox>
#include <QTimer>

namespace Vistel::PictureAids
{

ExposureWarningPage::ExposureWarningPage(ExposureWarningProcessor& owner, QWidget* parent)
    : QWidget(parent), processor(&owner), highLevelBox(new QSpinBox(this)),
      darkWarningBox(new QCheckBox(QStringLiteral("黒つぶれも表示"), this)), darkLevelBox(new QSpinBox(this)),
      brightShareValue(new QLabel(this)), darkShareValue(new QLabel(this))
{
    const auto settings = processor->GetSettings();
    auto* layout = new QGridLayout(this);
    auto* highLabel = new QLabel(QStringLiteral("白飛びレベル"), this);
    highLevelBox->setObjectName(QStringLiteral("highLevel"));
    highLevelBox->setRange(0, 255);
    highLevelBox->setValue(settings.highLevel);
    highLevelBox->setAccessibleName(highLabel->text());
    layout->addWidget(highLabel, 0, 0);
    layout->addWidget(highLevelBox, 0, 1);
    layout->addWidget(new QLabel(QStringLiteral("白飛び"), this), 1, 0);
    brightShareValue->setObjectName(QStringLiteral("brightShare"));
    layout->addWidget(brightShareValue, 1, 1);

    darkWarningBox->setChecked(settings.darkWarning);
    layout->addWidget(darkWarningBox, 2, 0, 1, 2);
    auto* darkLabel = new QLabel(QStringLiteral("黒つぶれレベル"), this);
    darkLevelBox->setObjectName(QStringLiteral("darkLevel"));
    darkLevelBox->setRange(0, 255);
    darkLevelBox->setValue(settings.darkLevel);
    darkLevelBox->setEnabled(settings.darkWarning);
    darkLevelBox->setAccessibleName(darkLabel->text());
    layout->addWidget(darkLabel, 3, 0);
    layout->addWidget(darkLevelBox, 3, 1);
    layout->addWidget(new QLabel(QStringLiteral("黒つぶれ"), this), 4, 0);
    darkShareValue->setObjectName(QStringLiteral("darkShare"));
    layout->addWidget(darkShareValue, 4, 1);
    layout->setRowStretch(5, 1);

    connect(highLevelBox, &QSpinBox::valueChanged, this, &ExposureWarningPage::Apply);
    connect(darkLevelBox, &QSpinBox::valueChanged, this, &ExposureWarningPage::Apply);
    connect(darkWarningBox, &QCheckBox::toggled, this,
            [this](bool on)
            {
                darkLevelBox->setEnabled(on);
                Apply();
            });
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &ExposureWarningPage::Refresh);
    timer->start(100);
    Refresh();
}

void ExposureWarningPage::Apply()
{
    processor->SetSettings({highLevelBox->value(), darkWarningBox->isChecked(), darkLevelBox->value()});
}

void ExposureWarningPage::Refresh()
{
    const auto readout = processor->GetReadout();
    const auto percent = [&](double share)
    {
        return readout.valid ? QStringLiteral("%1 %").arg(share * 100.0, 0, 'f', 2) : QStringLiteral("-");
    };
    brightShareValue->setText(percent(readout.brightShare));
    darkShareValue->setText(darkWarningBox->isChecked() ? percent(readout.darkShare) : QStringLiteral("-"));
}

} // namespace Vistel::PictureAids
