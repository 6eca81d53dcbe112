#pragma once

// The side pane's tests: a widget application on the offscreen platform whose notify catches what
// a handler raises (as the application's own top-level mechanism does), the model on the test
// camera, and the dialogs replaced.

#include "FakeDialogs.h"
#include "ModelTestSupport.h"

#include <Norvex/Core/Exception.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>

#include <chrono>
#include <memory>
#include <vector>

namespace VistelTest
{

class CatchingApplication final : public QApplication
{
public:
    using QApplication::QApplication;

    std::vector<Norvex::Core::Exception> caught;

    bool notify(QObject* receiver, QEvent* event) override
    {
        try
        {
            return QApplication::notify(receiver, event);
        }
        catch (const Norvex::Core::Exception& exception)
        {
            caught.push_back(exception);
            return true;
        }
    }
};

class PanelTest : public ModelTest
{
protected:
    static void SetUpTestSuite()
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "SidePaneTests";
        static char* argv[] = {name, nullptr};
        gui = std::make_unique<CatchingApplication>(argc, argv);
    }
    static void TearDownTestSuite() { gui.reset(); }

    // Delivers every notification posted so far.
    static void Settle()
    {
        for (int i = 0; i < 3; ++i)
        {
            QCoreApplication::processEvents();
        }
    }

    // Processes events until condition holds, or 30 s on a loaded machine.
    template <class Condition> static bool WaitUntil(Condition condition)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!condition() && std::chrono::steady_clock::now() < deadline)
        {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return condition();
    }

    template <class T> static T* Find(const QWidget& root, const char* name)
    {
        auto* found = root.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    static QAbstractButton* Button(const QWidget& root, const QString& text)
    {
        for (auto* button : root.findChildren<QAbstractButton*>())
        {
            if (button->text() == text)
            {
                return button;
            }
        }
        ADD_FAILURE() << "no button " << text.toStdString();
        return nullptr;
    }

    // What picking an item from the list does.
    static void Choose(QComboBox* combo, int index)
    {
        combo->setCurrentIndex(index);
        emit combo->activated(index);
    }

    static inline std::unique_ptr<CatchingApplication> gui;
    FakeDialogs dialogs;
};

} // namespace VistelTest
