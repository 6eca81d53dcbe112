#include "ModelTestSupport.h"

#include "FileText.h"

using namespace VistelTest;

namespace
{

std::vector<std::string> SettingsKeys(const std::string& text)
{
    std::vector<std::string> keys;
    bool inSettings = false;
    std::size_t start = 0;
    while (start < text.size())
    {
        const auto end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        if (line.starts_with("["))
        {
            inSettings = line == "[Settings]";
        }
        else if (inSettings && line.find('=') != std::string::npos)
        {
            keys.push_back(line.substr(0, line.find('=')));
        }
    }
    return keys;
}

} // namespace

TEST_F(ModelTest, FirstRunWritesFifteenKeysWithoutPluginsAndSeventeenWithThem)
{
    MakeModel();
    model.reset();
    const auto ini = folder / "VistelCapture.ini";
    EXPECT_EQ(
        SettingsKeys(Norvex::Testing::ReadFileText(ini)),
        (std::vector<std::string>{"CaptureDeviceName", "FrameFormatName", "ViewRatio", "IsMarkerVisible",
                                  "MarkerPositionX", "MarkerPositionY", "MarkerColor", "IsProfileVisible",
                                  "IsSidePaneVisible", "IsStatusBarVisible", "SaveTarget", "FileFormat",
                                  "MovieBitRate", "RecordingInterval", "IsTimestampFileEnabled"}));
    EXPECT_EQ(application.GetProfile().GetProfileString(L"Settings", L"FrameFormatName", L""),
              L"YUY2 640x480 (30fps)");
    EXPECT_EQ(application.GetProfile().GetProfileInt(L"Settings", L"MarkerColor", 0), 65280);

    std::filesystem::remove(ini);
    AddPlugin("VistelRecorder.so");
    MakeModel();
    model.reset();
    EXPECT_EQ(SettingsKeys(Norvex::Testing::ReadFileText(ini)).size(), 17u);
    EXPECT_EQ(application.GetProfile().GetProfileString(L"Settings", L"ProcessorName", L"?"), L"なし");
}

TEST_F(ModelTest, StoredChoicesComeBackAndBadOnesFallBack)
{
    auto& profile = application.GetProfile();
    profile.WriteProfileString(L"Settings", L"CaptureDeviceName", L"norvextestcamera:2");
    profile.WriteProfileString(L"Settings", L"FrameFormatName", L"YUY2 160x120 (10fps)");
    profile.WriteProfileInt(L"Settings", L"ViewRatio", 5);
    profile.WriteProfileInt(L"Settings", L"MarkerPositionX", 10);
    profile.WriteProfileInt(L"Settings", L"MarkerPositionY", 20);
    profile.WriteProfileInt(L"Settings", L"IsStatusBarVisible", 0);
    profile.WriteProfileInt(L"Settings", L"MovieBitRate", 800);
    profile.WriteProfileInt(L"Settings", L"IsTimestampFileEnabled", 0);
    auto& model = MakeModel();
    EXPECT_EQ(model.GetDeviceIndex(), 1);
    EXPECT_EQ(model.GetCurrentFrameFormat().GetName(), L"YUY2 160x120 (10fps)");
    EXPECT_EQ(model.ViewRatio, 10);
    EXPECT_EQ(model.GetMarkerPosition(), (MainModel::Point{10, 20}));
    EXPECT_FALSE(model.IsStatusBarVisible);
    EXPECT_EQ(model.MovieBitRate, 800);
    EXPECT_FALSE(model.IsTimestampFileEnabled);
    this->model.reset();
    EXPECT_EQ(profile.GetProfileInt(L"Settings", L"ViewRatio", 0), 10);

    // Another letter case is another device; a marker outside the frame stays at the centre.
    profile.WriteProfileString(L"Settings", L"CaptureDeviceName", L"NorvexTestCamera:2");
    profile.WriteProfileInt(L"Settings", L"ViewRatio", 5000);
    profile.WriteProfileInt(L"Settings", L"MarkerPositionX", 5000);
    auto& again = MakeModel();
    EXPECT_EQ(again.GetDeviceIndex(), 0);
    EXPECT_EQ(again.GetCurrentFrameFormat().GetName(), L"YUY2 640x480 (30fps)");
    EXPECT_EQ(again.ViewRatio, 1000);
    EXPECT_EQ(again.GetMarkerPosition(), (MainModel::Point{320, 240}));
}

TEST_F(ModelTest, AProcessorNameOutlivesARunWithoutItsPlugin)
{
    AddPlugin("VistelRecorder.so");
    {
        auto& model = MakeModel();
        model.SelectProcessor(1);
        model.SetSetting(model.ControlPanelPage, 1, MainModelProperty::ControlPanelPage);
        this->model.reset();
    }
    const auto stored = application.GetProfile().GetProfileString(L"Settings", L"ProcessorName", L"");
    EXPECT_NE(stored, L"なし");

    std::filesystem::rename(folder / "VistelRecorder.so", folder / "recorder.bak");
    MakeModel();
    EXPECT_EQ(model->GetProcessorIndex(), 0);
    model.reset();
    EXPECT_EQ(application.GetProfile().GetProfileString(L"Settings", L"ProcessorName", L""), stored);
    EXPECT_EQ(application.GetProfile().GetProfileInt(L"Settings", L"ControlPanelPage", 0), 1);

    std::filesystem::rename(folder / "recorder.bak", folder / "VistelRecorder.so");
    MakeModel();
    EXPECT_EQ(model->GetProcessorEntries()[static_cast<std::size_t>(model->GetProcessorIndex())]->GetName(),
              stored);
}
