#include "GuardedApplication.h"

#include <Norvex/Core/Exception.h>

#include "FakeDialogs.h"

#include <QAbstractButton>
#include <QColorDialog>
#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QTimer>

#include <gtest/gtest.h>

#include <initializer_list>
#include <stdexcept>

using VistelCapture::GuardedApplication;

namespace
{

// Throws from its event handler, as a window whose processor failed does.
class Thrower final : public QObject
{
public:
    bool throwUnknown = false;

    bool event(QEvent* event) override
    {
        if (event->type() != QEvent::User)
        {
            return QObject::event(event);
        }
        if (throwUnknown)
        {
            throw std::runtime_error("not ours");
        }
        throw Norvex::Core::Exception(L"描画に失敗しました。", "OnDraw2d", L"PreviewWindow.cpp", 42);
    }
};

struct Outcome
{
    int exitCode = -1;
    int dialogResult = -1;
    bool dialogVisible = true;
    bool failed = false;
    QStringList errors;
};

// Runs the application with a modal dialog open, while two events whose handlers throw arrive.
Outcome RunWithThrowingHandlers(bool throwUnknown)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "GuardedApplicationTests";
    static char* argv[] = {name, nullptr};
    GuardedApplication application(argc, argv);
    FakeDialogs dialogs;
    Thrower thrower;
    thrower.throwUnknown = throwUnknown;
    QDialog dialog;
    Outcome outcome;
    QTimer::singleShot(0,
                       [&]
                       {
                           QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
                           QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
                           outcome.dialogResult = dialog.exec();
                       });
    // Should the handler fail to end the loops, this ends the test instead of hanging it.
    QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });
    outcome.exitCode = application.exec();
    outcome.dialogVisible = dialog.isVisible();
    outcome.failed = application.HasFailed();
    outcome.errors = dialogs.errors;
    return outcome;
}

} // namespace

TEST(GuardedApplicationTests, AnExceptionLeavingAHandlerShowsOneErrorBoxAndEndsTheRunWithFailure)
{
    const Outcome ours = RunWithThrowingHandlers(false);
    EXPECT_EQ(ours.errors, QStringList{QStringLiteral("描画に失敗しました。")});
    EXPECT_EQ(ours.exitCode, 1);
    EXPECT_EQ(ours.dialogResult, QDialog::Rejected);
    EXPECT_FALSE(ours.dialogVisible);
    EXPECT_TRUE(ours.failed);

    const Outcome unknown = RunWithThrowingHandlers(true);
    EXPECT_EQ(unknown.errors, QStringList{QStringLiteral("未知のエラーが発生しました。")});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_TRUE(unknown.failed);
}

// Qt's own dialogs, which the windows open for files, folders and colours, speak the window's
// language: none of their labels or buttons is left in English.
TEST(GuardedApplicationTests, QtsOwnDialogsSpeakJapanese)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "GuardedApplicationTests";
    static char* argv[] = {name, nullptr};
    GuardedApplication application(argc, argv);
    QFileDialog files;
    files.setOption(QFileDialog::DontUseNativeDialog);
    files.setAcceptMode(QFileDialog::AcceptSave);
    QColorDialog colours;
    colours.setOption(QColorDialog::DontUseNativeDialog);
    for (QDialog* dialog : std::initializer_list<QDialog*>{&files, &colours})
    {
        QStringList texts;
        for (const auto* label : dialog->findChildren<QLabel*>())
        {
            texts << label->text();
        }
        for (const auto* button : dialog->findChildren<QAbstractButton*>())
        {
            texts << button->text();
        }
        EXPECT_TRUE(texts.contains(QStringLiteral("キャンセル"))) << texts.join(u'|').toStdString();
        for (const char* english : {"Look in:", "File &name:", "Cancel", "&Save", "&Basic colors", "&Red:"})
        {
            EXPECT_FALSE(texts.contains(QString::fromLatin1(english))) << english;
        }
    }
}
