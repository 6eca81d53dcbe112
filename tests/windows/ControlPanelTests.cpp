#include "PanelTestSupport.h"

#include "ColorButton.h"
#include "ControlPanel.h"
#include "FakeV4l2Kernel.h"

#include <Norvex/Mfc/SliderControl.h>

#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QImage>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QTest>
#include <QToolButton>

#include <linux/videodev2.h>

using namespace VistelTest;
using Norvex::Mfc::SliderControl;
using VistelCapture::ControlPanel;

namespace
{

std::int32_t FormatIndex(const MainModel& model, std::int32_t width, std::int32_t height)
{
    const auto& formats = model.GetCurrentDevice().frameFormats;
    for (std::size_t i = 0; i < formats.size(); ++i)
    {
        if (formats[i]->width == width && formats[i]->height == height)
        {
            return static_cast<std::int32_t>(i);
        }
    }
    ADD_FAILURE() << "no format " << width << "x" << height;
    return 0;
}

std::int32_t DeviceIndex(const MainModel& model, const std::wstring& name)
{
    const auto& devices = model.GetDevices();
    for (std::size_t i = 0; i < devices.size(); ++i)
    {
        if (devices[i]->friendlyName == name)
        {
            return static_cast<std::int32_t>(i);
        }
    }
    ADD_FAILURE() << "no device";
    return 0;
}

// Types text into a spin box as a user would, replacing what it shows.
void Type(QSpinBox* spin, const QString& text)
{
    spin->selectAll();
    QTest::keyClicks(spin, text);
}

} // namespace

TEST_F(PanelTest, ControlsShowTheModelAndNeverWriteItBack)
{
    auto& model = MakeModel();
    model.SelectDevice(DeviceIndex(model, L"Norvex Test Camera 1"));
    model.SelectFrameFormat(FormatIndex(model, 640, 480));
    ControlPanel panel(model);
    Announcements listener;
    model.AddListener(&listener);
    Settle();
    listener.received.clear();

    auto* deviceCombo = Find<QComboBox>(panel, "deviceCombo");
    auto* formatCombo = Find<QComboBox>(panel, "formatCombo");
    EXPECT_EQ(deviceCombo->count(), std::ssize(model.GetDevices()));
    EXPECT_EQ(deviceCombo->currentText(), QStringLiteral("Norvex Test Camera 1"));
    EXPECT_EQ(formatCombo->currentText().toStdWString(), model.GetCurrentFrameFormat().GetName());

    // Changes made elsewhere (the preview's wheel, the settings) show in both controls of a value,
    // and showing them announces nothing more: no control writes its new value back.
    auto* ratioEdit = Find<QSpinBox>(panel, "ratioEdit");
    auto* ratioSlider = Find<SliderControl>(panel, "ratioSlider");
    model.SetViewRatio(200);
    Settle();
    EXPECT_EQ(ratioEdit->value(), 200);
    EXPECT_EQ(ratioSlider->value(), 30);
    model.SetViewRatio(150);
    Settle();
    EXPECT_EQ(ratioSlider->value(), 18);
    EXPECT_EQ(model.ViewRatio, 150) << "the slider at 18 must not turn 150 into 151";
    EXPECT_EQ(listener.Count(MainModelProperty::ViewRatio), 2u);

    // A marker near the corner scales with a smaller format; narrowing the edits' ranges must not
    // move it again.
    model.SetMarkerPosition({600, 400});
    Settle();
    ASSERT_EQ(Find<QSpinBox>(panel, "markerXEdit")->value(), 600);
    model.SelectFrameFormat(FormatIndex(model, 320, 240));
    Settle();
    EXPECT_EQ(model.GetMarkerPosition(), (MainModel::Point{300, 200}));
    EXPECT_EQ(Find<QSpinBox>(panel, "markerXEdit")->maximum(), 319);
    EXPECT_EQ(Find<QSpinBox>(panel, "markerXEdit")->value(), 300);
    EXPECT_EQ(Find<QSpinBox>(panel, "markerYEdit")->value(), 200);

    // Hiding the marker disables its coordinates, colour and profile controls.
    auto* colorButton = Find<VistelCapture::ColorButton>(panel, "colorButton");
    auto* profile = Button(panel, QStringLiteral("プロファイル表示"));
    EXPECT_FALSE(colorButton->isEnabled());
    Button(panel, QStringLiteral("クロスライン"))->click();
    Settle();
    EXPECT_TRUE(model.IsMarkerVisible);
    EXPECT_TRUE(colorButton->isEnabled() && profile->isEnabled() &&
                Find<QSpinBox>(panel, "markerYEdit")->isEnabled());
    Button(panel, QStringLiteral("クロスライン"))->click();
    Settle();
    EXPECT_FALSE(colorButton->isEnabled() || profile->isEnabled() ||
                 Find<QSpinBox>(panel, "markerXEdit")->isEnabled());
    EXPECT_FALSE(Button(panel, QStringLiteral("クロスライン"))->isChecked());

    // The colour: a standard colour from the palette, then another one from the colour dialog,
    // stored with red in the low byte.
    model.SetSetting(model.IsMarkerVisible, true, MainModelProperty::IsMarkerVisible);
    Settle();
    colorButton->click();
    auto* palette = colorButton->findChild<QMenu*>();
    ASSERT_NE(palette, nullptr);
    QToolButton* red = nullptr;
    for (auto* swatch : palette->findChildren<QToolButton*>())
    {
        red = swatch->accessibleName() == QStringLiteral("赤") ? swatch : red;
    }
    EXPECT_EQ(palette->findChildren<QToolButton*>().size(), 20);
    ASSERT_NE(red, nullptr);
    red->click();
    EXPECT_EQ(model.MarkerColor, 0x000000FFu);
    dialogs.color = QColor(0x12, 0x34, 0x56);
    colorButton->click();
    Button(*palette, VistelCapture::ColorButton::OtherColorsText())->click();
    EXPECT_EQ(dialogs.colorRequests, 1);
    EXPECT_EQ(model.MarkerColor, 0x00563412u);
    model.SetSetting(model.MarkerColor, 0x0000FF00u, MainModelProperty::MarkerColor);
    Settle();
    EXPECT_EQ(colorButton->GetColor(), QColor(0, 255, 0));

    model.RemoveListener(&listener);
}

TEST_F(PanelTest, TheViewRatioTakesOnlyValuesFromTenToAThousand)
{
    auto& model = MakeModel();
    model.SelectDevice(DeviceIndex(model, L"Norvex Test Camera 1"));
    ControlPanel panel(model);
    panel.show();
    Settle();
    auto* ratioEdit = Find<QSpinBox>(panel, "ratioEdit");
    auto* ratioSlider = Find<SliderControl>(panel, "ratioSlider");

    ratioSlider->setSliderPosition(30); // the thumb put at 30
    EXPECT_EQ(model.ViewRatio, 200);
    ratioSlider->setSliderPosition(-100);
    EXPECT_EQ(model.ViewRatio, 10);
    Settle();

    ratioEdit->setFocus();
    Type(ratioEdit, QStringLiteral("5"));
    EXPECT_EQ(model.ViewRatio, 10) << "5 is below the minimum: nothing changes";
    QTest::keyClicks(ratioEdit, QStringLiteral("0"));
    EXPECT_EQ(model.ViewRatio, 50);
    Settle();
    Type(ratioEdit, QStringLiteral("5000"));
    EXPECT_GE(model.ViewRatio, 10);
    EXPECT_LE(model.ViewRatio, 1000);

    Button(panel, QStringLiteral("等倍"))->click();
    EXPECT_EQ(model.ViewRatio, 100);

    // "全体": the whole frame in the preview's area, truncated, at most 1000 %.
    model.SelectFrameFormat(FormatIndex(model, 1920, 1080));
    QSize preview(960, 720);
    panel.SetPreviewSize([&preview] { return preview; });
    Button(panel, QStringLiteral("全体"))->click();
    EXPECT_EQ(model.ViewRatio, 50);
    model.SelectFrameFormat(FormatIndex(model, 320, 240));
    preview = QSize(4800, 3600);
    Button(panel, QStringLiteral("全体"))->click();
    EXPECT_EQ(model.ViewRatio, 1000);
    preview = QSize(1000, 719);
    Button(panel, QStringLiteral("全体"))->click();
    EXPECT_EQ(model.ViewRatio, 299) << "719 / 240 = 2.9958: truncated, never rounded up past the view";
}

TEST_F(PanelTest, FormatAndRecordingDecideWhatCanBeChanged)
{
    auto& model = MakeModel();
    ControlPanel panel(model);
    Settle();
    auto* fileFormat = Find<QComboBox>(panel, "fileFormatCombo");
    auto* saveTarget = Find<QComboBox>(panel, "saveTargetCombo");
    auto* bitRate = Find<QSpinBox>(panel, "bitRateEdit");
    auto* bitRateSlider = Find<SliderControl>(panel, "bitRateSlider");
    auto* snap = Button(panel, QStringLiteral("Snap"));
    auto* record = Button(panel, QStringLiteral("録画"));
    EXPECT_EQ(fileFormat->count(), 11);
    EXPECT_EQ(fileFormat->itemText(4), QStringLiteral("AVI (非圧縮)"));
    EXPECT_EQ(saveTarget->itemText(0), QStringLiteral("Snapされたフレーム"));
    // The formats that keep the camera's compression are offered while the camera sends it.
    const auto* items = qobject_cast<QStandardItemModel*>(fileFormat->model());
    ASSERT_EQ(model.GetCurrentFrameFormat().GetName(), L"YUY2 640x480 (30fps)");
    EXPECT_FALSE(items->item(9)->isEnabled() || items->item(10)->isEnabled());
    model.SelectFrameFormat(2); // MJPG 1280x720
    Settle();
    EXPECT_TRUE(items->item(9)->isEnabled());
    EXPECT_FALSE(items->item(10)->isEnabled());
    model.SelectFrameFormat(0);

    Choose(fileFormat, 4);
    Settle();
    EXPECT_EQ(model.FileFormat.load(), 4);
    EXPECT_FALSE(bitRate->isEnabled() || bitRateSlider->isEnabled()) << "uncompressed AVI has no bit rate";
    Choose(fileFormat, 6);
    Settle();
    EXPECT_TRUE(bitRate->isEnabled() && bitRateSlider->isEnabled());
    for (int target : {0, 1})
    {
        Choose(saveTarget, target);
        Settle();
        EXPECT_FALSE(snap->isEnabled()) << "a movie format without a recording has nothing to snap into";
        EXPECT_EQ(Find<QDoubleSpinBox>(panel, "intervalEdit")->isEnabled(), target == 1)
            << "the interval thins out a recording of every frame only";
    }

    // During a still-image recording the device can change, the file format cannot.
    Choose(saveTarget, 0);
    Choose(fileFormat, 0);
    Settle();
    EXPECT_TRUE(snap->isEnabled());
    dialogs.folder = QString::fromStdString(folder.Path().string());
    record->click();
    EXPECT_EQ(dialogs.folderTitles, QStringList{QStringLiteral("出力先フォルダーの選択")});
    ASSERT_TRUE(model.IsRecording());
    Settle();
    EXPECT_TRUE(record->isChecked());
    EXPECT_EQ(record->text(), QStringLiteral("停止"));
    EXPECT_TRUE(Find<QComboBox>(panel, "deviceCombo")->isEnabled());
    EXPECT_FALSE(fileFormat->isEnabled());
    EXPECT_TRUE(snap->isEnabled());
    record->click();
    Settle();
    EXPECT_FALSE(model.IsRecording());
    EXPECT_FALSE(record->isChecked());
    EXPECT_EQ(record->text(), QStringLiteral("録画"));
    EXPECT_TRUE(fileFormat->isEnabled());

    // The bit rate's wheel reaches the model through the one scroll handler.
    Choose(fileFormat, 8);
    model.SetSetting(model.MovieBitRate, 5000, MainModelProperty::MovieBitRate);
    Settle();
    QWheelEvent wheel(QPointF(5, 5), QPointF(5, 5), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(bitRateSlider, &wheel);
    EXPECT_EQ(model.MovieBitRate, 5000 - 398);
    Settle();
    EXPECT_EQ(bitRate->value(), 5000 - 398);
    EXPECT_TRUE(dialogs.errors.isEmpty());
}

TEST_F(PanelTest, ChoicesMadeInThePanelSurviveARestart)
{
    {
        auto& model = MakeModel();
        ControlPanel panel(model);
        Settle();
        Choose(Find<QComboBox>(panel, "fileFormatCombo"), 6);
        Choose(Find<QComboBox>(panel, "saveTargetCombo"), 1);
        Find<SliderControl>(panel, "bitRateSlider")->setSliderPosition(12345);
        Find<QDoubleSpinBox>(panel, "intervalEdit")->setValue(2.5);
        Button(panel, QStringLiteral("クロスライン"))->click();
        Find<SliderControl>(panel, "ratioSlider")->setSliderPosition(30);
    }
    model.reset();
    auto& model = MakeModel();
    EXPECT_EQ(model.FileFormat.load(), 6);
    EXPECT_EQ(model.SaveTarget.load(), 1);
    EXPECT_EQ(model.MovieBitRate, 12345);
    EXPECT_EQ(model.RecordingInterval, 2500);
    EXPECT_TRUE(model.IsMarkerVisible);
    EXPECT_EQ(model.ViewRatio, 200);
    ControlPanel panel(model);
    Settle();
    EXPECT_EQ(Find<QComboBox>(panel, "fileFormatCombo")->currentText(), QStringLiteral("WMV2"));
    EXPECT_EQ(Find<QSpinBox>(panel, "bitRateEdit")->value(), 12345);
    EXPECT_EQ(Find<QDoubleSpinBox>(panel, "intervalEdit")->value(), 2.5);
}

TEST_F(PanelTest, SnapshotsAndRecordingsThroughTheDialogsProduceFilesThatDecode)
{
    auto& model = MakeModel();
    model.SelectDevice(DeviceIndex(model, L"Norvex Test Camera 1"));
    model.SelectFrameFormat(FormatIndex(model, 320, 240));
    ControlPanel panel(model);
    Announcements listener;
    model.AddListener(&listener);
    model.StartCapture();
    ASSERT_TRUE(WaitFor(listener, MainModelProperty::Frame, 3));

    Choose(Find<QComboBox>(panel, "fileFormatCombo"), 1);
    Settle();
    const auto shot = folder.Path() / "shot.jpg";
    dialogs.saveFileName = QString::fromStdString(shot.string());
    Button(panel, QStringLiteral("Snap"))->click();
    EXPECT_EQ(dialogs.saveFilters, QStringList{QStringLiteral("JPEG (*.jpg *.jpeg)")});
    EXPECT_EQ(dialogs.saveSuffixes, QStringList{QStringLiteral("jpg")});
    QImage image(QString::fromStdString(shot.string()));
    EXPECT_EQ(image.size(), QSize(320, 240));

    // A failing save is shown in the error box, and the panel goes on working.
    dialogs.saveFileName = QString::fromStdString((folder.Path() / "missing" / "shot.jpg").string());
    Button(panel, QStringLiteral("Snap"))->click();
    ASSERT_EQ(dialogs.errors.size(), 1);
    EXPECT_FALSE(dialogs.errors[0].isEmpty());
    EXPECT_NE(dialogs.errors[0], QStringLiteral("未知のエラーが発生しました。"))
        << "the save's own reason is shown";
    dialogs.saveFileName = QString::fromStdString((folder.Path() / "again.png").string());
    Choose(Find<QComboBox>(panel, "fileFormatCombo"), 2);
    Settle();
    Button(panel, QStringLiteral("Snap"))->click();
    EXPECT_EQ(QImage(*dialogs.saveFileName).size(), QSize(320, 240));

    // A movie of every frame, started and stopped with the one button.
    Choose(Find<QComboBox>(panel, "fileFormatCombo"), 4);
    Choose(Find<QComboBox>(panel, "saveTargetCombo"), 1);
    Settle();
    const auto movie = folder.Path() / "movie.avi";
    dialogs.saveFileName = QString::fromStdString(movie.string());
    auto* record = Button(panel, QStringLiteral("録画"));
    record->click();
    ASSERT_TRUE(model.IsRecording());
    EXPECT_EQ(dialogs.saveFilters.back(), QStringLiteral("AVI (*.avi)"));
    EXPECT_EQ(dialogs.saveSuffixes.back(), QStringLiteral("avi"));
    ASSERT_TRUE(WaitUntil([&] { return model.GetRecordedFrameCount() >= 5; }));
    record->click();
    EXPECT_FALSE(model.IsRecording());
    model.StopCapture();
    model.RemoveListener(&listener);

    QProcess probe;
    probe.start(QStringLiteral("ffprobe"),
                {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-count_frames"),
                 QStringLiteral("-select_streams"), QStringLiteral("v:0"), QStringLiteral("-show_entries"),
                 QStringLiteral("stream=nb_read_frames,width"), QStringLiteral("-of"),
                 QStringLiteral("csv=p=0"), QString::fromStdString(movie.string())});
    ASSERT_TRUE(probe.waitForFinished(60000));
    EXPECT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
    const auto fields = QString::fromUtf8(probe.readAllStandardOutput()).trimmed().split(u',');
    ASSERT_EQ(fields.size(), 2);
    EXPECT_EQ(fields[0].toInt(), 320);
    EXPECT_GE(fields[1].toInt(), 5);
    EXPECT_EQ(dialogs.errors.size(), 1);
}

namespace
{

class FocusPanelTest : public PanelTest
{
protected:
    void SetUp() override
    {
        PanelTest::SetUp();
        kernel.AddCamera(Norvex::Testing::FakeV4l2Kernel::UvcCamera("/dev/video0", "Bench Camera"));
        Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(&kernel);
    }
    void TearDown() override
    {
        model.reset();
        Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(nullptr);
    }

    Norvex::Testing::FakeV4l2Kernel kernel;
};

} // namespace

TEST_F(FocusPanelTest, TheFocusGroupShowsOnlyForAFocusControlAndLocksWhileAutomatic)
{
    auto& model = MakeModel(0);
    ControlPanel panel(model);
    panel.show();
    Settle();
    auto* slider = Find<SliderControl>(panel, "focusSlider");
    auto* autoCheck = Button(panel, QStringLiteral("オート"));
    EXPECT_FALSE(slider->isVisible() || autoCheck->isVisible() ||
                 Button(panel, QStringLiteral(">>"))->isVisible())
        << "no focus control until the camera streams";

    model.StartCapture();
    Settle();
    const auto focus = model.GetFocusInformation();
    ASSERT_TRUE(focus.available);
    EXPECT_TRUE(slider->isVisible() && autoCheck->isVisible());
    EXPECT_EQ(slider->minimum(), focus.minimum);
    EXPECT_EQ(slider->maximum(), focus.maximum);

    if (!focus.isAuto)
    {
        autoCheck->click();
        Settle();
    }
    ASSERT_TRUE(model.GetFocusInformation().isAuto);
    EXPECT_TRUE(autoCheck->isChecked());
    EXPECT_FALSE(slider->isEnabled());
    for (const char* text : {"<<", "<", ">", ">>"})
    {
        EXPECT_FALSE(Button(panel, QString::fromLatin1(text))->isEnabled()) << text;
    }

    autoCheck->click();
    model.SetFocusPosition(focus.minimum);
    Settle();
    EXPECT_FALSE(model.GetFocusInformation().isAuto);
    EXPECT_TRUE(slider->isEnabled());
    EXPECT_FALSE(Button(panel, QStringLiteral("<"))->isEnabled()) << "nothing below the minimum";
    EXPECT_FALSE(Button(panel, QStringLiteral("<<"))->isEnabled());
    Button(panel, QStringLiteral(">"))->click();
    EXPECT_EQ(model.GetFocusInformation().position, focus.minimum + focus.step);
    Button(panel, QStringLiteral(">>"))->click();
    EXPECT_EQ(model.GetFocusInformation().position, std::min(focus.maximum, focus.minimum + 11 * focus.step));
    EXPECT_EQ(kernel.ControlValue("/dev/video0", V4L2_CID_FOCUS_ABSOLUTE),
              model.GetFocusInformation().position);
    Settle();
    EXPECT_EQ(slider->value(), model.GetFocusInformation().position);
    EXPECT_TRUE(Button(panel, QStringLiteral("<"))->isEnabled());

    model.StopCapture();
    Settle();
    EXPECT_FALSE(slider->isVisible() || autoCheck->isVisible() ||
                 Button(panel, QStringLiteral("<"))->isVisible());
}
