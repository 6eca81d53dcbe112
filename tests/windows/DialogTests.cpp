#include "WindowTestSupport.h"

#include "AboutBox.h"
#include "FakeDialogs.h"
#include "MainWindow.h"
#include "SelectProcessorDialog.h"

#include <QKeyEvent>
#include <QListWidget>
#include <QMenu>

using namespace VistelTest;
using VistelCapture::MainWindow;
using VistelCapture::SelectProcessorDialog;

namespace
{

class DialogTest : public WindowTest
{
protected:
    // Opens the processor choice from the window's menu; `user` plays the user and returns the
    // dialog's result.
    void ChooseProcessor(MainWindow& window, std::function<int(SelectProcessorDialog&)> user)
    {
        FakeDialogs dialogs;
        dialogs.onExec = [&](QDialog& dialog)
        {
            auto* choice = dynamic_cast<SelectProcessorDialog*>(&dialog);
            return choice ? user(*choice) : int(QDialog::Rejected);
        };
        const auto actions = window.GetWindowMenu().actions();
        ASSERT_EQ(actions.front()->text(), QStringLiteral("処理選択(&S)..."));
        actions.front()->trigger();
        EXPECT_EQ(dialogs.dialogsRun, 1);
    }

    static QStringList Items(const QListWidget& list)
    {
        QStringList items;
        for (int row = 0; row < list.count(); ++row)
        {
            items << list.item(row)->text();
        }
        return items;
    }
};

} // namespace

TEST_F(DialogTest, TheProcessorChoiceListsTheModelsOrderAndOkSelectsExactlyTheHighlightedOne)
{
    AddPlugin("VistelThree.so"); // "Sharpen", "Blur", "Edge": not in alphabetical order
    auto& model = MakeModel();
    MainWindow window(model);
    QStringList menu;
    for (const auto* action : window.GetWindowMenu().actions())
    {
        menu << (action->isSeparator() ? QStringLiteral("-") : action->text());
    }
    EXPECT_EQ(menu, (QStringList{QStringLiteral("処理選択(&S)..."), QStringLiteral("-"),
                                 QStringLiteral("バージョン情報(&A)...")}));

    model.SelectProcessor(1);
    ChooseProcessor(window,
                    [&](SelectProcessorDialog& dialog)
                    {
                        EXPECT_EQ(dialog.windowTitle(), QStringLiteral("処理選択"));
                        EXPECT_EQ(Items(dialog.GetList()),
                                  (QStringList{QStringLiteral("なし"), QStringLiteral("Sharpen"),
                                               QStringLiteral("Blur"), QStringLiteral("Edge")}));
                        EXPECT_EQ(dialog.GetList().currentRow(), 1) << "the active processor is highlighted";
                        dialog.GetList().setCurrentRow(2);
                        dialog.accept();
                        return dialog.result();
                    });
    EXPECT_EQ(model.GetProcessorIndex(), 2);
    EXPECT_EQ(model.GetProcessorEntries()[2]->GetName(), L"Blur");
}

TEST_F(DialogTest, CancelEscapeAndTheCloseBoxLeaveTheProcessorUnchanged)
{
    AddPlugin("VistelThree.so");
    auto& model = MakeModel();
    MainWindow window(model);
    ChooseProcessor(window,
                    [](SelectProcessorDialog& dialog)
                    {
                        dialog.GetList().setCurrentRow(3);
                        dialog.reject();
                        return dialog.result();
                    });
    ChooseProcessor(window,
                    [](SelectProcessorDialog& dialog)
                    {
                        dialog.GetList().setCurrentRow(3);
                        dialog.show();
                        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                        QApplication::sendEvent(&dialog, &escape);
                        return dialog.result();
                    });
    ChooseProcessor(window,
                    [](SelectProcessorDialog& dialog)
                    {
                        dialog.GetList().setCurrentRow(2);
                        dialog.show();
                        dialog.close();
                        return dialog.result();
                    });
    EXPECT_EQ(model.GetProcessorIndex(), 0);
}

TEST_F(DialogTest, TheVersionBoxNamesTheBackEndThatRunsAndShowsTheBuildsVersion)
{
    application.CaptureApiFamily = 0;
    const VistelCapture::AboutBox plain(application);
    EXPECT_EQ(plain.windowTitle(), QStringLiteral("バージョン情報"));
    EXPECT_EQ(plain.GetVersionLabel().text(), QStringLiteral(NORVEX_TEST_VERSION));

    application.CaptureApiFamily = 1;
    const VistelCapture::AboutBox gstreamer(application);
    EXPECT_EQ(gstreamer.windowTitle(), QStringLiteral("バージョン情報 (GStreamer モード)"));

    // Opened from the window's menu through the dialog seam.
    auto& model = MakeModel();
    MainWindow window(model);
    FakeDialogs dialogs;
    QString shown;
    dialogs.onExec = [&](QDialog& dialog)
    {
        shown = dialog.windowTitle();
        return int(QDialog::Accepted);
    };
    window.GetWindowMenu().actions().back()->trigger();
    EXPECT_EQ(shown, QStringLiteral("バージョン情報 (GStreamer モード)"));
}
