#pragma once

// The real model on the test camera with the program's guarded application (offscreen), and ways
// to find the window's controls as a user sees them.

#include "GuardedApplication.h"
#include "ModelTestSupport.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QWidget>

#include <chrono>

namespace VistelTest
{

class WindowTest : public ModelTest
{
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "MainWindowTests";
        static char* argv[] = {name, nullptr};
        qputenv("QT_QPA_PLATFORM", "offscreen");
        if (!QCoreApplication::instance())
        {
            // An exception that leaves an event handler is kept for the test, never shown in a box.
            // The application hands on only the first error of its run: one per test suite.
            widgetApplication = std::make_unique<VistelCapture::GuardedApplication>(argc, argv);
            widgetApplication->SetTopLevelHandler([](std::exception_ptr error) { escaped = error; });
        }
    }
    static void TearDownTestSuite() { widgetApplication.reset(); }

    void TearDown() override
    {
        EXPECT_FALSE(escaped) << "an exception left an event handler";
        escaped = nullptr;
    }

    // Processes events until condition holds, or 30 s (a loaded machine can be slow; a passing
    // wait returns at once).
    template <class Condition> static bool WaitUntil(Condition condition)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!condition() && std::chrono::steady_clock::now() < deadline)
        {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return condition();
    }

    static QPushButton* FindButton(const QWidget& window, const QString& text)
    {
        for (auto* button : window.findChildren<QPushButton*>())
        {
            if (button->text() == text)
            {
                return button;
            }
        }
        return nullptr;
    }

    // The three panes of the status bar, left to right.
    static QList<QLabel*> StatusPanes(const QWidget& window)
    {
        const auto* statusBar = window.findChild<QStatusBar*>();
        return statusBar ? statusBar->findChildren<QLabel*>(Qt::FindDirectChildrenOnly) : QList<QLabel*>();
    }

    static inline std::unique_ptr<VistelCapture::GuardedApplication> widgetApplication;
    static inline std::exception_ptr escaped; // what reached the top-level handler
};

} // namespace VistelTest
