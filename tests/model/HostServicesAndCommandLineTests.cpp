#include "ModelTestSupport.h"

#include "HostServices.h"

#include <sys/wait.h>

#include <cstdio>

using namespace VistelTest;
using Norvex::Core::ToWideString;

TEST_F(ModelTest, HostServicesAnswerForTheCurrentDeviceAndRefuseBadIndexes)
{
    auto& model = MakeModel();
    auto* host = new VistelCapture::HostServices(Folder(), model, application);
    Norvex::Core::ComPointer<Vistel::Framework::IHostServices> services;
    services.Attach(host);
    EXPECT_EQ(services->GetApplicationFolder(), Folder());
    EXPECT_EQ(services->GetDeviceCount(), static_cast<std::int32_t>(model.GetDevices().size()));
    EXPECT_EQ(*services->GetDeviceFriendlyName(0), model.GetDevices()[0]->friendlyName);
    EXPECT_EQ(*services->GetDevicePath(1), model.GetDevices()[1]->devicePath);
    EXPECT_EQ(services->GetDeviceFriendlyName(-1), nullptr);
    EXPECT_EQ(services->GetDevicePath(99), nullptr);
    EXPECT_EQ(services->GetFrameFormat(-1), nullptr);
    EXPECT_EQ(services->GetFrameFormat(services->GetFrameFormatCount()), nullptr);
    EXPECT_EQ((*services->GetFrameFormat(1))->GetName(), L"YUY2 320x240 (15fps)");
    EXPECT_EQ(services->GetSourceImage(), &model.GetCurrentDevice().frame);
    EXPECT_FALSE(services->IsDeviceRunning());
    EXPECT_FALSE(services->IsRecordingActive());

    EXPECT_EQ(services->WriteProfileInt(L"MyProcessor", L"Threshold", 42), Norvex::Core::S_OK);
    EXPECT_EQ(services->GetProfileInt(L"myprocessor", L"threshold", 0), 42);
    EXPECT_EQ(services->WriteProfileString(L"MyProcessor", L"bad\nkey", L"x"), Norvex::Core::E_FAIL);

    bool invalidated = false;
    model.SetPreviewInvalidator([&] { invalidated = true; });
    EXPECT_EQ(services->InvalidatePreview(), Norvex::Core::S_OK);
    EXPECT_TRUE(invalidated);
    Announcements listener;
    model.AddListener(&listener);
    listener.Take();
    EXPECT_EQ(services->NotifyFrameChanged(), Norvex::Core::S_OK);
    EXPECT_EQ(listener.Take(), std::vector{MainModelProperty::Frame});
    model.RemoveListener(&listener);
}

namespace
{

struct Run
{
    int exitCode;
    std::string output;
};

// The command-line program, run in `folder` on the test camera.
Run RunCli(const std::filesystem::path& folder, const std::string& arguments)
{
    const std::string command =
        "cd '" + folder.string() + "' && '" NORVEX_CLI "' --api-family 1 " + arguments + " 2>&1";
    std::unique_ptr<FILE, decltype(&::pclose)> pipe(::popen(command.c_str(), "r"), &::pclose);
    Run run{-1, {}};
    char buffer[4096];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe.get()))
    {
        run.output += buffer;
    }
    const int status = ::pclose(pipe.release());
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

} // namespace

TEST_F(ModelTest, CommandLineListsSnapsAndRecordsWithReliableExitCodes)
{
    const auto list = RunCli(folder.Path(), "list");
    EXPECT_EQ(list.exitCode, 0) << list.output;
    EXPECT_NE(list.output.find("format 0: YUY2 640x480 (30fps)"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("processor 0: なし"), std::string::npos);

    const auto snapshot = RunCli(folder.Path(), "--format 'YUY2 320x240 (15fps)' snapshot snap.png");
    EXPECT_EQ(snapshot.exitCode, 0) << snapshot.output;
    EXPECT_TRUE(std::filesystem::exists(folder / "snap.png"));

    const auto record = RunCli(folder.Path(), "--format 1 --file-format avi record movie.avi --frames 7");
    EXPECT_EQ(record.exitCode, 0) << record.output;
    EXPECT_NE(record.output.find("recorded 7 frames"), std::string::npos) << record.output;

    std::filesystem::create_directory(folder / "frames");
    const auto images =
        RunCli(folder.Path(), "--format 1 --file-format jpeg record frames --frames 3 --quiet");
    EXPECT_EQ(images.exitCode, 0) << images.output;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder / "frames"), {}), 3);

    EXPECT_EQ(RunCli(folder.Path(), "record movie.avi").exitCode, 2) << "no --frames or --seconds";
    EXPECT_EQ(RunCli(folder.Path(), "--file-format gif snapshot a.gif").exitCode, 2);
    EXPECT_EQ(RunCli(folder.Path(), "frobnicate").exitCode, 2);
    EXPECT_EQ(RunCli(folder.Path(), "--device 'No Such Camera' list").exitCode, 3);
    EXPECT_EQ(RunCli(folder.Path(), "--format 'YUY2 1x1 (1fps)' list").exitCode, 3);
    EXPECT_EQ(RunCli(folder.Path(), "--device 99999999999999999999 list").exitCode, 3) << "too big for an index";
    EXPECT_EQ(RunCli(folder.Path(), "--processor nothing list").exitCode, 3);
    EXPECT_EQ(
        RunCli(folder.Path(), "--format 1 record missing/movie.avi --file-format avi --frames 2").exitCode,
        1);
}
