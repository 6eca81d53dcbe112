#pragma once

// A model on the test camera (GStreamer family) in a folder of its own, and a listener that
// collects what the model announces.

#include "MainModel.h"
#include "VistelCaptureApp.h"

#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Mfc/PropertyChangedEvent.h>

#include "TemporaryFolder.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

namespace VistelTest
{

using VistelCapture::MainModel;
using VistelCapture::MainModelProperty;

class Announcements final : public QObject
{
public:
    std::vector<MainModelProperty> received;

    bool event(QEvent* event) override
    {
        if (event->type() != Norvex::Mfc::PropertyChangedEvent::DefaultType())
        {
            return QObject::event(event);
        }
        received.push_back(static_cast<MainModelProperty>(
            static_cast<Norvex::Mfc::PropertyChangedEvent*>(event)->GetProperty()));
        return true;
    }

    // What arrived since the last call.
    std::vector<MainModelProperty> Take()
    {
        QCoreApplication::processEvents();
        return std::exchange(received, {});
    }

    std::size_t Count(MainModelProperty property) const
    {
        return static_cast<std::size_t>(std::count(received.begin(), received.end(), property));
    }
};

class ModelTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "MainModelTests";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
        {
            qtApplication = std::make_unique<QCoreApplication>(argc, argv);
        }
    }
    static void TearDownTestSuite() { qtApplication.reset(); }

    void SetUp() override { application.PrepareIniFile(Folder() + L"VistelCapture"); }

    std::wstring Folder() const { return Norvex::Core::ToWideString(folder.Path().string()) + L"/"; }

    MainModel& MakeModel(std::int32_t family = 1)
    {
        model = std::make_unique<MainModel>(family, true, true, Folder(), application);
        return *model;
    }

    void AddPlugin(const char* name)
    {
        std::filesystem::copy_file(std::filesystem::path(NORVEX_TEST_PLUGINS) / name, folder / name);
    }

    // Processes events until the listener has seen `count` announcements of property, or 30 s (a
    // loaded machine or a sanitiser can be slow; a passing wait returns at once).
    static bool WaitFor(Announcements& listener, MainModelProperty property, std::size_t count)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (listener.Count(property) < count && std::chrono::steady_clock::now() < deadline)
        {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return listener.Count(property) >= count;
    }

    static inline std::unique_ptr<QCoreApplication> qtApplication;
    Norvex::Testing::TemporaryFolder folder;
    VistelCapture::VistelCaptureApp application;
    std::unique_ptr<MainModel> model;
};

} // namespace VistelTest
