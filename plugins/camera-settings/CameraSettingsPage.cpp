#include "CameraSettingsPage.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace Vistel::CameraSettings
{
namespace
{

constexpr int automaticValuesMilliseconds = 500;

} // namespace

void CameraSettingsPage::Show(const Row& row, const ControlState& state)
{
    const QSignalBlocker blockSlider(row.slider);
    const QSignalBlocker blockBox(row.valueBox);
    row.slider->setValue(state.value);
    row.valueBox->setValue(state.value);
    row.slider->setEnabled(!state.isAuto);
    row.valueBox->setEnabled(!state.isAuto);
    if (row.autoBox)
    {
        const QSignalBlocker blockAuto(row.autoBox);
        row.autoBox->setChecked(state.isAuto);
    }
}

CameraSettingsPage::CameraSettingsPage(CameraSettingsProcessor& owner, QWidget* parent)
    : QWidget(parent), processor(&owner), layout(new QVBoxLayout(this)), automaticValues(new QTimer(this))
{
    automaticValues->setInterval(automaticValuesMilliseconds);
    connect(automaticValues, &QTimer::timeout, this, &CameraSettingsPage::ShowAutomaticValues);
    automaticValues->start();
    Rebuild();
}

void CameraSettingsPage::ShowAutomaticValues()
{
    const auto automatic = [](const Row& row)
    {
        return row.autoBox && row.autoBox->isChecked();
    };
    if (!attached || std::none_of(rows.begin(), rows.end(), automatic))
    {
        return;
    }
    for (const auto& current : processor->ReadControls())
    {
        for (const auto& row : rows)
        {
            if (row.control == current.description && automatic(row) && current.isAuto)
            {
                Show(row, current);
            }
        }
    }
}

void CameraSettingsPage::Detach()
{
    attached = false;
    // Later: the host finalises under its frame lock.
    QMetaObject::invokeMethod(this, &CameraSettingsPage::Rebuild, Qt::QueuedConnection);
}

void CameraSettingsPage::Rebuild()
{
    rows.clear();
    delete content;
    content = new QWidget(this);
    layout->addWidget(content);
    auto* grid = new QGridLayout(content);
    const auto states = attached ? processor->ReadControls() : std::vector<ControlState>{};
    if (states.empty())
    {
        auto* message = new QLabel(processor->IsDeviceRunning() || !attached
                                       ? QStringLiteral("このデバイスには変更できるカメラ設定がありません。")
                                       : QStringLiteral("このデバイスには変更できるカメラ設定がありません。"
                                                        "キャプチャー中にだけ設定を示すデバイスもあります。"),
                                   content);
        message->setObjectName(QStringLiteral("message"));
        message->setWordWrap(true);
        grid->addWidget(message, 0, 0);
        grid->setRowStretch(1, 1);
        return;
    }

    int line = 0;
    for (const auto& state : states)
    {
        const ControlDescription& control = *state.description;
        const QString name = QString::fromUtf8(control.label);
        grid->addWidget(new QLabel(name, content), line, 0);
        Row row{&control, new QSlider(Qt::Horizontal, content), new QSpinBox(content), nullptr};
        // Typing 120 applies 120, not 1 and 12 on the way.
        row.valueBox->setKeyboardTracking(false);
        for (auto* widget : {static_cast<QWidget*>(row.slider), static_cast<QWidget*>(row.valueBox)})
        {
            widget->setAccessibleName(name);
        }
        row.slider->setRange(state.minimum, state.maximum);
        row.slider->setSingleStep(std::max(state.step, 1));
        row.slider->setPageStep(std::max(state.step, (state.maximum - state.minimum) / 10));
        row.valueBox->setRange(state.minimum, state.maximum);
        row.valueBox->setSingleStep(std::max(state.step, 1));
        grid->addWidget(row.slider, line, 1);
        grid->addWidget(row.valueBox, line, 2);
        if (state.canBeAuto)
        {
            row.autoBox = new QCheckBox(QStringLiteral("自動"), content);
            row.autoBox->setAccessibleName(name + QStringLiteral(" 自動"));
            grid->addWidget(row.autoBox, line, 3);
        }
        auto* range = new QLabel(QStringLiteral("%1〜%2  刻み %3  既定 %4")
                                     .arg(state.minimum)
                                     .arg(state.maximum)
                                     .arg(state.step)
                                     .arg(state.defaultValue),
                                 content);
        range->setAccessibleName(name + QStringLiteral(" 範囲"));
        grid->addWidget(range, line + 1, 1, 1, 3);
        Show(row, state);

        // After a change the row shows what the device settled on, not what was asked for.
        const auto change = [this, row, &control](int value, bool isAuto)
        {
            processor->SetControl(control, value, isAuto);
            for (const auto& current : processor->ReadControls())
            {
                if (current.description == &control)
                {
                    Show(row, current);
                }
            }
        };
        connect(row.slider, &QSlider::valueChanged, content,
                [row, change](int value) { change(value, row.autoBox && row.autoBox->isChecked()); });
        connect(row.valueBox, &QSpinBox::valueChanged, content,
                [row, change](int value) { change(value, row.autoBox && row.autoBox->isChecked()); });
        if (row.autoBox)
        {
            // Back to manual at the value the automatic mode reached, read now.
            connect(row.autoBox, &QCheckBox::toggled, content,
                    [this, row, change](bool isAuto)
                    {
                        int value = row.valueBox->value();
                        for (const auto& current : processor->ReadControls())
                        {
                            if (current.description == row.control)
                            {
                                value = current.value;
                            }
                        }
                        change(value, isAuto);
                    });
        }
        rows.push_back(row);
        line += 2;
    }
    auto* defaults = new QPushButton(QStringLiteral("既定値に戻す"), content);
    grid->addWidget(defaults, line, 0, 1, 4);
    grid->setRowStretch(line + 1, 1);
    // Rebuilt later, not from inside the button's own signal, which deletes the button.
    connect(defaults, &QPushButton::clicked, this,
            [this]
            {
                processor->RestoreDefaults();
                QMetaObject::invokeMethod(this, &CameraSettingsPage::Rebuild, Qt::QueuedConnection);
            });
}

} // namespace Vistel::CameraSettings
