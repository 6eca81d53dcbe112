#include "PanelTestSupport.h"

#include "HeaderPanel.h"
#include "RecordingProcessorControl.h"
#include "SidePane.h"

#include <QLabel>

using namespace VistelTest;
using VistelCapture::ControlPanel;
using VistelCapture::SidePane;

namespace
{

std::int32_t ProcessorIndex(const MainModel& model, const std::wstring& name)
{
    const auto& entries = model.GetProcessorEntries();
    for (std::size_t i = 0; i < entries.size(); ++i)
    {
        if (entries[i]->GetName() == name)
        {
            return static_cast<std::int32_t>(i);
        }
    }
    ADD_FAILURE() << "no processor";
    return 0;
}

} // namespace

TEST_F(PanelTest, WithoutAProcessorPageTheHeaderHidesAndAStoredPageFallsBack)
{
    // A page chosen in an earlier run whose processor is gone now.
    AddPlugin("VistelPaged.so");
    {
        auto& model = MakeModel();
        model.SetSetting(model.ControlPanelPage, 1, MainModelProperty::ControlPanelPage);
    }
    model.reset();
    auto& model = MakeModel();
    ASSERT_EQ(model.GetProcessorIndex(), 0);
    ASSERT_EQ(model.ControlPanelPage, 1);
    Announcements listener;
    model.AddListener(&listener);

    SidePane pane(model);
    pane.show();
    Settle();
    EXPECT_EQ(model.ControlPanelPage, 0) << "no page to show: back to the capture settings";
    EXPECT_GE(listener.Count(MainModelProperty::ControlPanelPage), 2u) << "the fall-back is announced";
    EXPECT_FALSE(pane.GetHeaderPanel()->isVisible());
    EXPECT_TRUE(pane.GetControlPanel()->isVisible());
    EXPECT_EQ(pane.GetControlPanel()->geometry().top(), 0);

    // The main window's layout: a resize changes the height only.
    EXPECT_EQ(pane.width(), SidePane::PaneWidth());
    EXPECT_EQ(SidePane::PaneWidth(), ControlPanel::TemplateSize().width());
    pane.resize(pane.width() + 200, 900);
    Settle();
    EXPECT_EQ(pane.width(), SidePane::PaneWidth());
    EXPECT_EQ(pane.height(), 900);
    EXPECT_EQ(pane.GetControlPanel()->geometry(), QRect(0, 0, SidePane::PaneWidth(), 900));
    model.RemoveListener(&listener);
}

TEST_F(PanelTest, TheHeaderSwitchesBetweenTheCaptureSettingsAndTheProcessorsPage)
{
    AddPlugin("VistelPaged.so");
    auto& model = MakeModel();
    SidePane pane(model);
    pane.show();
    Settle();
    model.SelectProcessor(ProcessorIndex(model, L"ページ付き"));
    Settle();

    auto* header = pane.GetHeaderPanel();
    QPointer<QWidget> page = pane.GetProcessorPage();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->parentWidget(), &pane);
    EXPECT_TRUE(header->isVisible());
    EXPECT_EQ(header->GetCaptureSettingsButton()->text(), QStringLiteral("取り込み設定"));
    EXPECT_EQ(header->GetProcessorButton()->text(), QStringLiteral("ページ付き"));
    EXPECT_TRUE(header->GetCaptureSettingsButton()->isChecked());
    const QRect below(0, header->height(), pane.width(), pane.height() - header->height());
    EXPECT_EQ(pane.GetControlPanel()->geometry(), below);
    EXPECT_EQ(page->geometry(), below) << "the two pages overlap exactly below the header";
    EXPECT_TRUE(pane.GetControlPanel()->isVisible());
    EXPECT_FALSE(page->isVisible());

    Announcements listener;
    model.AddListener(&listener);
    Settle();
    listener.received.clear();
    header->GetProcessorButton()->click();
    Settle();
    EXPECT_EQ(model.ControlPanelPage, 1);
    EXPECT_TRUE(page->isVisible());
    EXPECT_FALSE(pane.GetControlPanel()->isVisible());
    EXPECT_TRUE(header->GetProcessorButton()->isChecked());
    EXPECT_FALSE(header->GetCaptureSettingsButton()->isChecked());
    header->GetProcessorButton()->click();
    Settle();
    EXPECT_EQ(listener.Count(MainModelProperty::ControlPanelPage), 1u) << "a pressed button changes nothing";
    EXPECT_TRUE(header->GetProcessorButton()->isChecked());
    header->GetCaptureSettingsButton()->click();
    Settle();
    EXPECT_EQ(model.ControlPanelPage, 0);
    EXPECT_TRUE(pane.GetControlPanel()->isVisible());
    EXPECT_FALSE(page->isVisible());

    // Back to "なし" with the page on show: the plug-in destroys its page, the pane lets go of it
    // and shows the capture settings again.
    header->GetProcessorButton()->click();
    Settle();
    model.SelectProcessor(0);
    EXPECT_TRUE(page.isNull()) << "the processor destroyed its page when it was finalised";
    Settle();
    EXPECT_EQ(pane.GetProcessorPage(), nullptr);
    EXPECT_EQ(model.ControlPanelPage, 0);
    EXPECT_FALSE(header->isVisible());
    EXPECT_TRUE(pane.GetControlPanel()->isVisible());
    EXPECT_EQ(pane.GetControlPanel()->geometry().top(), 0);
    EXPECT_TRUE(gui->caught.empty());
    model.RemoveListener(&listener);
}

TEST_F(PanelTest, AProcessorFailingToCreateItsPageIsReportedAndThePaneKeepsTheCaptureSettings)
{
    AddPlugin("VistelRecorder.so");
    RecordingProcessorControl recorder(folder.Path() / "VistelRecorder.so");
    auto& model = MakeModel();
    SidePane pane(model);
    pane.show();
    Settle();
    recorder.Configure("CreateControlPanel");
    model.SelectProcessor(ProcessorIndex(model, L"記録"));
    gui->caught.clear();
    Settle();
    EXPECT_TRUE(gui->caught.empty()) << "a processor's failure is not the program's";
    const auto message = model.RecoverFromProcessorFailure();
    ASSERT_TRUE(message);
    EXPECT_NE(message->find(L"CreateControlPanel"), std::wstring::npos);
    EXPECT_TRUE(pane.GetControlPanel()->isVisible()) << "the pane is never left empty";
    EXPECT_FALSE(pane.GetHeaderPanel()->isVisible());
    recorder.Configure("");
    Settle();
    EXPECT_EQ(model.GetProcessorIndex(), 0);
    EXPECT_TRUE(gui->caught.empty());
}
