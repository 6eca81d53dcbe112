#pragma once

// Widget tests of the shipped processors run without a display.

#include <QApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>

namespace VistelTest
{

class WidgetTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (!QApplication::instance())
        {
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            static int argc = 1;
            static char name[] = "ShippedProcessorTests";
            static char* argv[] = {name, nullptr};
            application = std::make_unique<QApplication>(argc, argv);
        }
    }
    // Gone before static destruction, which would run after Qt's own globals.
    static void TearDownTestSuite() { application.reset(); }

    // Processes events until condition holds, or 30 s on a loaded machine; returns the condition.
    template <class TCondition> static bool WaitUntil(TCondition condition)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!condition() && std::chrono::steady_clock::now() < deadline)
        {
            QApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return condition();
    }

    static inline std::unique_ptr<QApplication> application;
};

} // namespace VistelTest
