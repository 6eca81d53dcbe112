#include "ControlPanel.h"

#include "ColorButton.h"
#include "Dialogs.h"
#include "FileFormatTable.h"
#include "MainModel.h"
#include "QtText.h"
#include "VistelCaptureApp.h"

#include <Norvex/Mfc/PropertyChangedEvent.h>

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStandardItemModel>

#include <algorithm>
#include <cmath>

namespace VistelCapture
{
namespace
{

using Norvex::Mfc::SliderControl;

constexpr int TemplateWidth = 180;
constexpr int TemplateHeight = 351;
constexpr int ViewRatioMinimum = 10;
constexpr int ViewRatioMaximum = 1000;
constexpr int BitRateMinimum = 100;
constexpr int BitRateMaximum = 20000;
constexpr double IntervalMaximum = 86400; // a day, in seconds

// The slider's position for a view ratio: 100 * log10(ratio / 100), halves away from zero.
int RatioToPosition(std::int32_t ratio)
{
    return static_cast<int>(std::lround(100.0 * std::log10(static_cast<double>(ratio) / 100.0)));
}

std::int32_t PositionToRatio(int position)
{
    const long ratio = std::lround(100.0 * std::pow(10.0, static_cast<double>(position) / 100.0));
    return static_cast<std::int32_t>(std::clamp<long>(ratio, ViewRatioMinimum, ViewRatioMaximum));
}

QColor FromColorRef(std::uint32_t value)
{
    return QColor(int(value & 0xFF), int((value >> 8) & 0xFF), int((value >> 16) & 0xFF));
}

std::uint32_t ToColorRef(const QColor& color)
{
    return std::uint32_t(color.red()) | (std::uint32_t(color.green()) << 8) |
           (std::uint32_t(color.blue()) << 16);
}

// Sets a spin box from the model without announcing it.
void Show(QSpinBox* spin, int value)
{
    if (spin->value() != value)
    {
        const QSignalBlocker blocker(spin);
        spin->setValue(value);
    }
}

void SetRange(QSpinBox* spin, int minimum, int maximum)
{
    const QSignalBlocker blocker(spin);
    spin->setRange(minimum, maximum);
}

QSpinBox* MakeEdit(QWidget* parent, int minimum, int maximum)
{
    auto* spin = new QSpinBox(parent);
    spin->setRange(minimum, maximum);
    spin->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    spin->setGroupSeparatorShown(false);
    return spin;
}

QLabel* MakeLabel(const QString& text, QWidget* parent, Qt::Alignment alignment = Qt::AlignRight)
{
    auto* label = new QLabel(text, parent);
    label->setAlignment(alignment | Qt::AlignVCenter);
    return label;
}

} // namespace

ControlPanel::ControlPanel(MainModel& model, QWidget* parent)
    : QWidget(parent), units(QStringLiteral("MS Shell Dlg"), 8), model(model)
{
    setFont(units.GetFont());
    CreateControls();
    ConnectControls();
    resize(units.ToPixels(TemplateWidth, TemplateHeight));
    model.AddListener(this);
}

ControlPanel::~ControlPanel()
{
    model.RemoveListener(this);
}

QSize ControlPanel::TemplateSize()
{
    return DialogUnits(QStringLiteral("MS Shell Dlg"), 8).ToPixels(TemplateWidth, TemplateHeight);
}

void ControlPanel::Place(QWidget* widget, int x, int y, int width, int height) const
{
    QRect rect = units.ToPixels(x, y, width, height);
    if (qobject_cast<QComboBox*>(widget))
    {
        // The template's height includes the drop-down list; the closed box is as high as it needs.
        rect.setHeight(std::min(rect.height(), widget->sizeHint().height()));
    }
    widget->setGeometry(rect);
}

void ControlPanel::CreateControls()
{
    // Created in the template's order: the group boxes lie under the controls drawn inside them.
    deviceGroup = new QGroupBox(QStringLiteral("デバイス設定"), this);
    Place(deviceGroup, 7, 7, 166, 47);
    deviceLabel = MakeLabel(QStringLiteral("デバイス:"), this);
    Place(deviceLabel, 10, 19, 43, 8);
    deviceCombo = new QComboBox(this);
    deviceCombo->setObjectName(QStringLiteral("deviceCombo"));
    Place(deviceCombo, 56, 18, 108, 30);
    deviceLabel->setBuddy(deviceCombo);
    formatLabel = MakeLabel(QStringLiteral("フォーマット:"), this);
    Place(formatLabel, 10, 36, 43, 8);
    formatCombo = new QComboBox(this);
    formatCombo->setObjectName(QStringLiteral("formatCombo"));
    Place(formatCombo, 56, 35, 108, 30);
    formatLabel->setBuddy(formatCombo);

    ratioGroup = new QGroupBox(QStringLiteral("表示倍率"), this);
    Place(ratioGroup, 7, 54, 166, 50);
    ratioEdit = MakeEdit(this, ViewRatioMinimum, ViewRatioMaximum);
    ratioEdit->setObjectName(QStringLiteral("ratioEdit"));
    ratioEdit->setAccessibleName(QStringLiteral("表示倍率"));
    Place(ratioEdit, 28, 65, 40, 14);
    percentLabel = MakeLabel(QStringLiteral("%"), this, Qt::AlignLeft);
    Place(percentLabel, 71, 68, 13, 8);
    ratioSlider = new SliderControl(this);
    ratioSlider->setObjectName(QStringLiteral("ratioSlider"));
    ratioSlider->setAccessibleName(QStringLiteral("表示倍率"));
    ratioSlider->setRange(-100, 100);
    ratioSlider->setTickPosition(QSlider::TicksAbove);
    ratioSlider->setTickInterval(20);
    Place(ratioSlider, 14, 80, 150, 18);
    actualSizeButton = new QPushButton(QStringLiteral("等倍"), this);
    Place(actualSizeButton, 85, 65, 31, 14);
    fitButton = new QPushButton(QStringLiteral("全体"), this);
    Place(fitButton, 121, 65, 31, 14);

    markerGroup = new QGroupBox(this);
    Place(markerGroup, 7, 104, 166, 72);
    markerCheck = new ManualCheck<QCheckBox>(QStringLiteral("クロスライン"), this);
    Place(markerCheck, 13, 111, 49, 10);
    markerXLabel = MakeLabel(QStringLiteral("X:"), this);
    Place(markerXLabel, 18, 125, 17, 8);
    markerXEdit = MakeEdit(this, 0, 0);
    markerXEdit->setObjectName(QStringLiteral("markerXEdit"));
    Place(markerXEdit, 37, 123, 40, 14);
    markerXLabel->setBuddy(markerXEdit);
    markerYLabel = MakeLabel(QStringLiteral("Y:"), this);
    Place(markerYLabel, 86, 125, 17, 8);
    markerYEdit = MakeEdit(this, 0, 0);
    markerYEdit->setObjectName(QStringLiteral("markerYEdit"));
    Place(markerYEdit, 105, 123, 40, 14);
    markerYLabel->setBuddy(markerYEdit);
    colorLabel = MakeLabel(QStringLiteral("色:"), this);
    Place(colorLabel, 17, 144, 17, 8);
    colorButton = new ColorButton(this);
    colorButton->setObjectName(QStringLiteral("colorButton"));
    Place(colorButton, 37, 142, 50, 14);
    colorLabel->setBuddy(colorButton);
    profileCheck = new ManualCheck<QCheckBox>(QStringLiteral("プロファイル表示"), this);
    Place(profileCheck, 54, 161, 70, 10);

    saveGroup = new QGroupBox(QStringLiteral("画像保存"), this);
    Place(saveGroup, 7, 176, 166, 102);
    saveTargetLabel = MakeLabel(QStringLiteral("保存対象:"), this);
    Place(saveTargetLabel, 10, 189, 44, 8);
    saveTargetCombo = new QComboBox(this);
    saveTargetCombo->setObjectName(QStringLiteral("saveTargetCombo"));
    saveTargetCombo->addItems({QStringLiteral("Snapされたフレーム"), QStringLiteral("全フレーム")});
    Place(saveTargetCombo, 57, 188, 81, 30);
    saveTargetLabel->setBuddy(saveTargetCombo);
    fileFormatLabel = MakeLabel(QStringLiteral("形式:"), this);
    Place(fileFormatLabel, 10, 206, 44, 8);
    fileFormatCombo = new QComboBox(this);
    fileFormatCombo->setObjectName(QStringLiteral("fileFormatCombo"));
    for (const auto& row : FileFormatTable::Rows())
    {
        fileFormatCombo->addItem(QString::fromUtf8(row.label));
    }
    Place(fileFormatCombo, 57, 205, 81, 30);
    fileFormatLabel->setBuddy(fileFormatCombo);
    intervalLabel = MakeLabel(QStringLiteral("間隔:"), this);
    Place(intervalLabel, 10, 224, 44, 8);
    intervalEdit = new QDoubleSpinBox(this);
    intervalEdit->setObjectName(QStringLiteral("intervalEdit"));
    intervalEdit->setRange(0, IntervalMaximum);
    intervalEdit->setDecimals(1);
    intervalEdit->setSingleStep(0.1);
    intervalEdit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    intervalEdit->setGroupSeparatorShown(false);
    Place(intervalEdit, 57, 222, 46, 14);
    intervalLabel->setBuddy(intervalEdit);
    intervalUnitLabel = MakeLabel(QStringLiteral("秒"), this, Qt::AlignLeft);
    Place(intervalUnitLabel, 106, 224, 20, 8);
    bitRateLabel = MakeLabel(QStringLiteral("ビットレート:"), this);
    Place(bitRateLabel, 10, 243, 44, 8);
    bitRateEdit = MakeEdit(this, BitRateMinimum, BitRateMaximum);
    bitRateEdit->setObjectName(QStringLiteral("bitRateEdit"));
    Place(bitRateEdit, 57, 240, 40, 14);
    bitRateLabel->setBuddy(bitRateEdit);
    bitRateUnitLabel = MakeLabel(QStringLiteral("kbps"), this, Qt::AlignLeft);
    Place(bitRateUnitLabel, 100, 243, 20, 8);
    bitRateSlider = new SliderControl(this);
    bitRateSlider->setObjectName(QStringLiteral("bitRateSlider"));
    bitRateSlider->setAccessibleName(QStringLiteral("ビットレート"));
    bitRateSlider->setRange(BitRateMinimum, BitRateMaximum);
    bitRateSlider->setTickPosition(QSlider::TicksAbove);
    bitRateSlider->setTickInterval(2000);
    Place(bitRateSlider, 14, 254, 150, 18);
    snapButton = new QPushButton(QStringLiteral("Snap"), this);
    Place(snapButton, 140, 188, 24, 12);
    recordButton = new ManualCheck<QPushButton>(QStringLiteral("録画"), this);
    recordButton->setCheckable(true);
    Place(recordButton, 140, 205, 24, 12);

    statusBarCheck = new ManualCheck<QCheckBox>(QStringLiteral("ステータスバー表示"), this);
    Place(statusBarCheck, 50, 283, 79, 10);

    focusGroup = new QGroupBox(QStringLiteral("フォーカス"), this);
    Place(focusGroup, 7, 294, 166, 49);
    focusAutoCheck = new ManualCheck<QCheckBox>(QStringLiteral("オート"), this);
    Place(focusAutoCheck, 13, 306, 34, 10);
    focusSlider = new SliderControl(this);
    focusSlider->setObjectName(QStringLiteral("focusSlider"));
    focusSlider->setAccessibleName(QStringLiteral("フォーカス"));
    focusSlider->setTickPosition(QSlider::TicksAbove);
    Place(focusSlider, 49, 302, 117, 16);
    const std::array<const char*, 4> stepTexts{"<<", "<", ">", ">>"};
    const std::array<int, 4> stepX{50, 80, 109, 139};
    for (std::size_t i = 0; i < focusStepButtons.size(); ++i)
    {
        focusStepButtons[i] = new QPushButton(QString::fromLatin1(stepTexts[i]), this);
        Place(focusStepButtons[i], stepX[i], 323, 27, 14);
    }
    // Until the device says it has a focus control.
    UpdateFocusVisibility();
}

void ControlPanel::ConnectControls()
{
    // activated and clicked come from the user only; value changes of the edits are blocked while
    // a notification sets them. Nothing the model announces is written back.
    connect(deviceCombo, &QComboBox::activated, this,
            [this](int index)
            {
                if (index >= 0)
                {
                    model.SelectDevice(index);
                }
            });
    connect(formatCombo, &QComboBox::activated, this,
            [this](int index)
            {
                if (index >= 0)
                {
                    model.SelectFrameFormat(index);
                }
            });
    // The spin box takes a typed number only once it is within 10-1000: "5" on the way to "50"
    // changes nothing.
    connect(ratioEdit, &QSpinBox::valueChanged, this, [this](int value) { model.SetViewRatio(value); });
    for (auto* slider : {ratioSlider, bitRateSlider, focusSlider})
    {
        connect(slider, &SliderControl::Scrolled, this,
                [this, slider](SliderControl::Request, int position) { OnSliderScrolled(slider, position); });
    }
    connect(actualSizeButton, &QPushButton::clicked, this, [this] { model.SetViewRatio(100); });
    connect(fitButton, &QPushButton::clicked, this, &ControlPanel::FitToPreview);
    connect(markerCheck, &QCheckBox::clicked, this,
            [this] {
                model.SetSetting(model.IsMarkerVisible, !model.IsMarkerVisible,
                                 MainModelProperty::IsMarkerVisible);
            });
    connect(markerXEdit, &QSpinBox::valueChanged, this,
            [this](int x) {
                model.SetMarkerPosition({x, model.GetMarkerPosition().y});
            });
    connect(markerYEdit, &QSpinBox::valueChanged, this,
            [this](int y) {
                model.SetMarkerPosition({model.GetMarkerPosition().x, y});
            });
    connect(colorButton, &ColorButton::ColorChosen, this,
            [this](const QColor& color)
            { model.SetSetting(model.MarkerColor, ToColorRef(color), MainModelProperty::MarkerColor); });
    connect(profileCheck, &QCheckBox::clicked, this,
            [this] {
                model.SetSetting(model.IsProfileVisible, !model.IsProfileVisible,
                                 MainModelProperty::IsProfileVisible);
            });
    connect(saveTargetCombo, &QComboBox::activated, this,
            [this](int index)
            {
                if (index >= 0)
                {
                    model.SetSetting(model.SaveTarget, std::int32_t(index), MainModelProperty::SaveTarget);
                }
            });
    connect(fileFormatCombo, &QComboBox::activated, this,
            [this](int index)
            {
                if (index >= 0)
                {
                    model.SetSetting(model.FileFormat, std::int32_t(index), MainModelProperty::FileFormat);
                }
            });
    connect(bitRateEdit, &QSpinBox::valueChanged, this,
            [this](int value)
            { model.SetSetting(model.MovieBitRate, value, MainModelProperty::MovieBitRate); });
    connect(intervalEdit, &QDoubleSpinBox::valueChanged, this,
            [this](double seconds)
            {
                model.SetSetting(model.RecordingInterval,
                                 static_cast<std::int32_t>(std::lround(seconds * 1000)),
                                 MainModelProperty::RecordingInterval);
            });
    connect(snapButton, &QPushButton::clicked, this, &ControlPanel::Snapshot);
    connect(recordButton, &QPushButton::clicked, this, &ControlPanel::ToggleRecording);
    connect(statusBarCheck, &QCheckBox::clicked, this,
            [this]
            {
                model.SetSetting(model.IsStatusBarVisible, !model.IsStatusBarVisible,
                                 MainModelProperty::IsStatusBarVisible);
            });
    connect(focusAutoCheck, &QCheckBox::clicked, this,
            [this] { model.SetFocusAuto(!model.GetFocusInformation().isAuto); });
    const std::array<int, 4> steps{-10, -1, 1, 10};
    for (std::size_t i = 0; i < focusStepButtons.size(); ++i)
    {
        connect(focusStepButtons[i], &QPushButton::clicked, this,
                [this, step = steps[i]] { StepFocus(step); });
    }
}

bool ControlPanel::event(QEvent* event)
{
    if (event->type() == model.GetEventType())
    {
        OnMainModelPropertyChanged(static_cast<Norvex::Mfc::PropertyChangedEvent*>(event)->GetProperty());
        return true;
    }
    return QWidget::event(event);
}

void ControlPanel::OnMainModelPropertyChanged(int property)
{
    switch (static_cast<MainModelProperty>(property))
    {
    case MainModelProperty::DeviceList:
    {
        // Refilled without announcing a choice: CaptureDevice, which follows, sets the current one.
        const QSignalBlocker blocker(deviceCombo);
        deviceCombo->clear();
        for (const auto& device : model.GetDevices())
        {
            deviceCombo->addItem(ToQString(device->friendlyName));
        }
        deviceCombo->setCurrentIndex(model.GetDeviceIndex());
        break;
    }
    case MainModelProperty::CaptureDevice:
    {
        deviceCombo->setCurrentIndex(model.GetDeviceIndex());
        formatCombo->clear();
        for (const auto& format : model.GetCurrentDevice().frameFormats)
        {
            formatCombo->addItem(ToQString(format->GetName()));
        }
        break;
    }
    case MainModelProperty::CurrentFrameFormat:
    {
        formatCombo->setCurrentIndex(model.GetCurrentDevice().frameFormatIndex);
        const auto& format = model.GetCurrentFrameFormat();
        SetRange(markerXEdit, 0, std::max(0, format.width - 1));
        SetRange(markerYEdit, 0, std::max(0, format.height - 1));
        OfferCameraFormats();
        break;
    }
    case MainModelProperty::ViewRatio:
        Show(ratioEdit, model.ViewRatio);
        ratioSlider->setValue(RatioToPosition(model.ViewRatio));
        break;
    case MainModelProperty::IsMarkerVisible:
        markerCheck->setChecked(model.IsMarkerVisible);
        for (QWidget* widget : std::initializer_list<QWidget*>{
                 markerXLabel, markerXEdit, markerYLabel, markerYEdit, colorLabel, colorButton, profileCheck})
        {
            widget->setEnabled(model.IsMarkerVisible);
        }
        break;
    case MainModelProperty::MarkerPosition:
    {
        const auto position = model.GetMarkerPosition();
        Show(markerXEdit, position.x);
        Show(markerYEdit, position.y);
        break;
    }
    case MainModelProperty::MarkerColor:
        colorButton->SetColor(FromColorRef(model.MarkerColor));
        break;
    case MainModelProperty::IsProfileVisible:
        profileCheck->setChecked(model.IsProfileVisible);
        break;
    case MainModelProperty::FocusRange:
    {
        const auto focus = model.GetFocusInformation();
        focusSlider->setRange(focus.minimum, focus.maximum);
        focusAutoCheck->setEnabled(true);
        focusSlider->setEnabled(!focus.isAuto);
        UpdateFocusSteps();
        UpdateFocusVisibility();
        break;
    }
    case MainModelProperty::IsFocusAuto:
        focusAutoCheck->setChecked(model.GetFocusInformation().isAuto);
        focusSlider->setEnabled(!model.GetFocusInformation().isAuto);
        UpdateFocusSteps();
        break;
    case MainModelProperty::FocusPosition:
        focusSlider->setValue(model.GetFocusInformation().position);
        UpdateFocusSteps();
        break;
    case MainModelProperty::IsStatusBarVisible:
        statusBarCheck->setChecked(model.IsStatusBarVisible);
        break;
    case MainModelProperty::SaveTarget:
        saveTargetCombo->setCurrentIndex(model.SaveTarget.load());
        UpdateEnabling();
        break;
    case MainModelProperty::FileFormat:
        fileFormatCombo->setCurrentIndex(model.FileFormat.load());
        UpdateEnabling();
        break;
    case MainModelProperty::MovieBitRate:
        Show(bitRateEdit, model.MovieBitRate);
        bitRateSlider->setValue(model.MovieBitRate);
        break;
    case MainModelProperty::RecordingInterval:
        if (const double seconds = model.RecordingInterval / 1000.0; intervalEdit->value() != seconds)
        {
            const QSignalBlocker blocker(intervalEdit);
            intervalEdit->setValue(seconds);
        }
        break;
    case MainModelProperty::IsRecording:
        recordButton->setChecked(model.IsRecording());
        recordButton->setText(model.IsRecording() ? QStringLiteral("停止") : QStringLiteral("録画"));
        UpdateEnabling();
        break;
    default:
        break;
    }
}

void ControlPanel::OnSliderScrolled(const SliderControl* slider, int position)
{
    // The slider has already applied its own step: position is where it stands now.
    if (slider == ratioSlider)
    {
        model.SetViewRatio(PositionToRatio(position));
    }
    else if (slider == bitRateSlider)
    {
        model.SetSetting(model.MovieBitRate, position, MainModelProperty::MovieBitRate);
    }
    else if (slider == focusSlider)
    {
        model.SetFocusPosition(position);
    }
}

void ControlPanel::UpdateEnabling()
{
    const std::int32_t fileFormat = model.FileFormat.load();
    const bool recording = model.IsRecording();
    const auto* row = FileFormatTable::Find(fileFormat);
    const bool movie = row && row->IsMovie();
    const bool snapTarget = model.SaveTarget.load() == 0;

    const bool source = !(movie && recording);
    const bool formatChoice = !recording;
    const bool bitRate = movie && !recording && row->takesBitRate;
    // The interval thins out a recording of every frame; it is fixed while one runs.
    const bool interval = !snapTarget && !recording;
    // A movie of the camera's own pictures takes no decoded one.
    const bool snap = movie ? recording && snapTarget && !row->KeepsCameraData() : snapTarget;

    for (QWidget* widget :
         std::initializer_list<QWidget*>{deviceLabel, deviceCombo, formatLabel, formatCombo})
    {
        widget->setEnabled(source);
    }
    fileFormatLabel->setEnabled(formatChoice);
    fileFormatCombo->setEnabled(formatChoice);
    for (QWidget* widget :
         std::initializer_list<QWidget*>{bitRateLabel, bitRateEdit, bitRateUnitLabel, bitRateSlider})
    {
        widget->setEnabled(bitRate);
    }
    for (QWidget* widget : std::initializer_list<QWidget*>{intervalLabel, intervalEdit, intervalUnitLabel})
    {
        widget->setEnabled(interval);
    }
    snapButton->setEnabled(snap);
}

void ControlPanel::OfferCameraFormats()
{
    // The formats that keep the camera's compression are offered only while the camera sends it;
    // the others are always there. Rows are disabled, not removed: an index is a FileFormat.
    auto* items = qobject_cast<QStandardItemModel*>(fileFormatCombo->model());
    const std::uint32_t fourcc =
        Norvex::Core::VideoCapture::Device::KeepableFourcc(model.GetCurrentFrameFormat());
    const auto rows = FileFormatTable::Rows();
    for (std::size_t index = 0; items && index < rows.size(); ++index)
    {
        if (QStandardItem* item = items->item(static_cast<int>(index)); item && rows[index].KeepsCameraData())
        {
            item->setEnabled(rows[index].cameraFourcc == fourcc);
        }
    }
}

void ControlPanel::UpdateFocusSteps()
{
    const auto focus = model.GetFocusInformation();
    const bool down = !focus.isAuto && focus.position > focus.minimum;
    const bool up = !focus.isAuto && focus.position < focus.maximum;
    focusStepButtons[0]->setEnabled(down);
    focusStepButtons[1]->setEnabled(down);
    focusStepButtons[2]->setEnabled(up);
    focusStepButtons[3]->setEnabled(up);
}

void ControlPanel::UpdateFocusVisibility()
{
    const bool available = model.GetFocusInformation().available;
    for (QWidget* widget : std::initializer_list<QWidget*>{focusGroup, focusAutoCheck, focusSlider})
    {
        widget->setVisible(available);
    }
    for (auto* button : focusStepButtons)
    {
        button->setVisible(available);
    }
}

} // namespace VistelCapture
