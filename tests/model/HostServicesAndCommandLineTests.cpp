#include "ModelTestSupport.h"

#include "HostServices.h"

#include <FileText.h>
#include <FrameCount.h>
#include <TimestampLines.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <set>

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
    EXPECT_EQ(services->GetSourceImage(), &*model.GetCurrentDevice().LockFrame());
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

// The command-line program, run in `folder` on the test camera, after the shell commands of
// `setUp`; killed after 30 s, so a run that never ends fails instead of hanging the suite.
Run RunCli(const std::filesystem::path& folder, const std::string& arguments, const std::string& setUp = "",
           const std::string& program = NORVEX_CLI)
{
    const std::string command = "cd '" + folder.string() + "' && " + setUp + " timeout -s KILL 30 '" +
                                program + "' --api-family 1 " + arguments + " 2>&1";
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

long long RecordedFrames(const std::string& output)
{
    const auto at = output.rfind("recorded ");
    return at == std::string::npos ? -1 : std::atoll(output.c_str() + at + 9);
}

// Starts a recording with the command-line program, sends `signal` once it has recorded `frames`
// frames, and returns how it ended (exit code -1 when it did not end within 60 s: then killed).
Run InterruptedRecording(const std::filesystem::path& folder, const std::string& arguments, int signal,
                         long long frames = 5)
{
    // On a terminal of its own, as a user's Ctrl+C finds it: the progress line shows how far it got.
    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child < 0)
    {
        return {-1, "no terminal"};
    }
    if (child == 0)
    {
        if (::chdir(folder.c_str()) == 0)
        {
            const std::string command = "exec '" NORVEX_CLI "' --api-family 1 " + arguments;
            ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        }
        ::_exit(127);
    }
    Run run{-1, {}};
    bool signalled = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    char buffer[4096];
    for (;;)
    {
        pollfd readable{terminal, POLLIN, 0};
        if (std::chrono::steady_clock::now() > deadline)
        {
            ::kill(child, SIGKILL);
        }
        if (::poll(&readable, 1, 1000) == 0)
        {
            continue;
        }
        // The terminal reads EIO once the program has ended.
        const ssize_t count = ::read(terminal, buffer, sizeof buffer);
        if (count <= 0)
        {
            break;
        }
        run.output.append(buffer, static_cast<std::size_t>(count));
        // The progress line may skip a number when frames come faster than it is printed.
        if (!signalled && RecordedFrames(run.output) >= frames)
        {
            // To the main thread, as a terminal's Ctrl+C mostly lands: ThreadSanitizer runs a
            // handler only when its thread next enters the runtime, which a worker parked in a
            // futex of GLib's may not do for a long time.
            signalled = ::syscall(SYS_tgkill, child, child, signal) == 0;
        }
    }
    ::close(terminal);
    int status = 0;
    ::waitpid(child, &status, 0);
    run.exitCode = signalled && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::size_t Occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    {
        ++count;
    }
    return count;
}

} // namespace

// libavcodec and libavformat are a quarter of a snapshot's time to load: only a movie opens them.
TEST_F(ModelTest, CommandLineLoadsFfmpegOnlyToRecordAMovie)
{
    const auto snapshot = RunCli(folder.Path(), "--format 1 snapshot snap.jpg", "LD_DEBUG=files");
    EXPECT_EQ(snapshot.exitCode, 0) << snapshot.output;
    EXPECT_NE(snapshot.output.find("libturbojpeg"), std::string::npos) << "LD_DEBUG shows the loads";
    EXPECT_EQ(snapshot.output.find("libavcodec"), std::string::npos);
    EXPECT_EQ(snapshot.output.find("libavformat"), std::string::npos);

    const auto record =
        RunCli(folder.Path(), "--format 1 --file-format h264 record movie.mp4 --frames 3", "LD_DEBUG=files");
    EXPECT_EQ(record.exitCode, 0) << record.output;
    EXPECT_NE(record.output.find("recorded 3 frames"), std::string::npos);
    EXPECT_NE(record.output.find("file=libavformat"), std::string::npos);
}

TEST_F(ModelTest, CommandLineListsSnapsAndRecordsWithReliableExitCodes)
{
    const auto list = RunCli(folder.Path(), "list");
    EXPECT_EQ(list.exitCode, 0) << list.output;
    EXPECT_NE(list.output.find("format 0: YUY2 640x480 (30fps)"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("processor 0: なし"), std::string::npos);

    const auto snapshot = RunCli(folder.Path(), "--format 'YUY2 320x240 (15fps)' snapshot snap.png");
    EXPECT_EQ(snapshot.exitCode, 0) << snapshot.output;
    EXPECT_TRUE(std::filesystem::exists(folder / "snap.png"));
    // A snapshot that cannot be saved says where and why, not only the system's "No such file".
    const auto lost = RunCli(folder.Path(), "snapshot missing/snap.png");
    EXPECT_EQ(lost.exitCode, 1);
    EXPECT_NE(
        lost.output.find("missing/snap.png: cannot save the snapshot: the folder missing does not exist"),
        std::string::npos)
        << lost.output;

    // Into a pipe (this test's) the progress line is not drawn: one summary line, no carriage return.
    const auto record = RunCli(folder.Path(), "--format 1 --file-format avi record movie.avi --frames 7");
    EXPECT_EQ(record.exitCode, 0) << record.output;
    EXPECT_NE(record.output.find("recorded 7 frames, 0 dropped, "), std::string::npos) << record.output;
    EXPECT_EQ(record.output.find('\r'), std::string::npos) << record.output;
    EXPECT_EQ(record.output.find("recorded"), record.output.rfind("recorded")) << record.output;

    // A still recording makes its folder, as the README's example expects.
    const auto images =
        RunCli(folder.Path(), "--format 1 --file-format jpeg record frames/today/ --frames 3 --quiet");
    EXPECT_EQ(images.exitCode, 0) << images.output;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder / "frames/today"), {}), 3 + 1)
        << "three pictures and their time-stamp file";

    // An unknown format names the ones there are.
    const auto wmv = RunCli(folder.Path(), "record movie.wmv --frames 1");
    EXPECT_EQ(wmv.exitCode, 2);
    EXPECT_NE(
        wmv.output.find("unknown file format 'wmv'; choose one of bmp, jpeg, png, tiff, avi, wmv1, wmv2"),
        std::string::npos)
        << wmv.output;

    EXPECT_EQ(RunCli(folder.Path(), "record movie.avi").exitCode, 2) << "no --frames or --seconds";
    EXPECT_EQ(RunCli(folder.Path(), "--file-format gif snapshot a.gif").exitCode, 2);
    EXPECT_EQ(RunCli(folder.Path(), "frobnicate").exitCode, 2);
    EXPECT_EQ(RunCli(folder.Path(), "--device 'No Such Camera' list").exitCode, 3);
    EXPECT_EQ(RunCli(folder.Path(), "--format 'YUY2 1x1 (1fps)' list").exitCode, 3);
    EXPECT_EQ(RunCli(folder.Path(), "--device 99999999999999999999 list").exitCode, 3)
        << "too big for an index";
    EXPECT_EQ(RunCli(folder.Path(), "--processor nothing list").exitCode, 3);
    EXPECT_EQ(
        RunCli(folder.Path(), "--format 1 record missing/movie.avi --file-format avi --frames 2").exitCode,
        1);
}

TEST_F(ModelTest, CommandLineRecordingEndsAtTheFirstFailedSaveWithOneMessage)
{
    // A disk that fills up: with SIGXFSZ ignored, writes past the size limit (in blocks of 512
    // bytes) fail like ENOSPC. The encoded formats reach theirs within a few seconds, a WMV's
    // after its first whole key frame. The count told at the end is the frames the file holds:
    // those the failed write lost are not in it.
    for (const std::string format : {"avi", "wmv1", "wmv2", "h264"})
    {
        const std::string fullDisk = "trap '' XFSZ && ulimit -f " +
                                     std::string(format == "avi"    ? "2000"
                                                 : format == "h264" ? "10"
                                                                    : "24") +
                                     " &&";
        const auto run = RunCli(folder.Path(),
                                "--format 1 --bit-rate 50000 --file-format " + format + " record movie." +
                                    format + " --frames 100000",
                                fullDisk);
        EXPECT_EQ(run.exitCode, 1) << format << run.output;
        EXPECT_EQ(Occurrences(run.output, "vistel-capture-cli: movie." + format + ": "), 1u) << run.output;
        EXPECT_EQ(run.output.find(".cpp("), std::string::npos) << "no source position without debug messages";
        EXPECT_GT(std::filesystem::file_size(folder / ("movie." + format)), 0u) << format;
        // FFmpeg may show the torn frame after them as well, patched up.
        const long inFile = Norvex::Testing::CountFrames(folder / ("movie." + format));
        EXPECT_GE(RecordedFrames(run.output), inFile - 1) << format << run.output;
        EXPECT_LE(RecordedFrames(run.output), inFile) << format << run.output;
    }

    // A folder that cannot be made (a file is in the way) ends the recording before it starts.
    Norvex::Testing::WriteFileText(folder / "plain-file", "");
    const auto run = RunCli(folder.Path(), "--format 1 --file-format png record plain-file --seconds 20");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_EQ(Occurrences(run.output, "vistel-capture-cli: plain-file: "), 1u) << run.output;
}

TEST_F(ModelTest, CommandLineFinishesTheMovieOnInterruptAndTermination)
{
    for (const std::string format : {"avi", "wmv1", "wmv2", "h264"})
    {
        for (const int signal : {SIGINT, SIGTERM})
        {
            const auto file = folder / ("movie-" + std::to_string(signal) + "." + format);
            const auto run = InterruptedRecording(folder.Path(),
                                                  "--format 1 --file-format " + format + " record " +
                                                      file.filename().string() + " --seconds 60",
                                                  signal);
            EXPECT_EQ(run.exitCode, 128 + signal) << format << run.output;
            const long long recorded = RecordedFrames(run.output);
            EXPECT_GE(recorded, 5) << run.output;
            // Complete: every frame recorded is there, found through the file's own index.
            EXPECT_EQ(Norvex::Testing::CountFrames(file), recorded) << file;
            if (format == "avi")
            {
                const auto text = Norvex::Testing::ReadFileText(file);
                EXPECT_NE(text.find("idx1"), std::string::npos) << "the AVI has its index";
            }
        }
    }
}

// What a bench needs to trust a recording: a time-stamp line for every frame the file holds,
// files named on the lines of a still recording, none when switched off, and every line up to a
// kill kept whole.
TEST_F(ModelTest, CommandLineTimestampFilesMatchTheFramesAndSurviveAKill)
{
    const auto movie = RunCli(folder.Path(), "--format 1 --timestamps record movie.avi --frames 9");
    EXPECT_EQ(movie.exitCode, 0) << movie.output;
    EXPECT_NE(movie.output.find("recorded 9 frames, 0 dropped, "), std::string::npos) << movie.output;
    EXPECT_EQ(Norvex::Testing::TimestampLines(folder / "movie.avi.frames.csv").lines.size(), 9u);
    EXPECT_EQ(Norvex::Testing::CountFrames(folder / "movie.avi"), 9);

    const auto stills =
        RunCli(folder.Path(), "--format 1 --file-format png record frames --frames 4 --quiet --timestamps");
    EXPECT_EQ(stills.exitCode, 0) << stills.output;
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder / "frames"))
    {
        files.insert(entry.path().filename().string());
    }
    EXPECT_EQ(files.erase("frames.csv"), 1u);
    const auto named = Norvex::Testing::TimestampLines(folder / "frames/frames.csv").Column("file");
    EXPECT_EQ(std::set<std::string>(named.begin(), named.end()), files);
    EXPECT_EQ(named.size(), 4u);

    EXPECT_EQ(RunCli(folder.Path(), "--format 1 --no-timestamps record plain.avi --frames 2").exitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(folder / "plain.avi.frames.csv"));
    EXPECT_EQ(RunCli(folder.Path(), "--format 1 record again.avi --frames 2").exitCode, 0);
    EXPECT_TRUE(std::filesystem::exists(folder / "again.avi.frames.csv")) << "the option is for its run only";

    // A kill leaves a line for each frame a reader finds in the file, no more: an MP4 keeps its
    // complete fragments and an ASF its complete packets, while the encoder and the muxer held
    // the frames after them. Killed after two seconds, so an MP4 has fragments to keep.
    for (const std::string format : {"avi", "h264", "wmv2"})
    {
        const std::string movie = "killed." + std::string(format == "h264"  ? "mp4"
                                                          : format == "avi" ? "avi"
                                                                            : "wmv");
        InterruptedRecording(folder.Path(),
                             "--format 1 --timestamps --file-format " + format + " record " + movie +
                                 " --seconds 60",
                             SIGKILL, 30);
        const Norvex::Testing::TimestampLines killed(folder / (movie + ".frames.csv"));
        const long frames = Norvex::Testing::CountFrames(folder / movie);
        EXPECT_GE(frames, 5) << format;
        EXPECT_EQ(static_cast<long>(killed.lines.size()), frames) << format;
        for (std::size_t i = 0; i < killed.lines.size(); ++i)
        {
            ASSERT_EQ(killed.lines[i].size(), killed.header.size()) << format << " line " << i;
            EXPECT_EQ(killed.lines[i][0], std::to_string(i)) << format;
        }
    }
}

// --interval made every later run of the command line a time-lapse too: it was kept in the INI.
TEST_F(ModelTest, CommandLineIntervalIsForItsRunOnly)
{
    const auto shortestGap = [&](const char* movie)
    {
        const auto times = Norvex::Testing::TimestampLines(folder / (std::string(movie) + ".frames.csv"))
                               .Column("capture_time_s");
        double shortest = 1e9;
        for (std::size_t i = 1; i < times.size(); ++i)
        {
            shortest = std::min(shortest, std::stod(times[i]) - std::stod(times[i - 1]));
        }
        return shortest;
    };
    ASSERT_EQ(RunCli(folder.Path(), "--format 1 --interval 0.3 record lapse.avi --frames 3").exitCode, 0);
    ASSERT_EQ(RunCli(folder.Path(), "--format 1 record plain.avi --frames 4").exitCode, 0);
    EXPECT_GE(shortestGap("lapse.avi"), 0.2);
    EXPECT_LT(shortestGap("plain.avi"), 0.2) << "the interval of the run before was kept";
}

// A processor that throws once made the command line end in std::terminate: now it says which
// processor of which file failed, exits 1, and the next run works with "なし".
TEST_F(ModelTest, CommandLineReportsAFailingProcessorAndExitsOne)
{
    // The program with the test plug-in beside it, where it looks for plug-ins.
    const auto program = folder / "vistel-capture-cli";
    std::filesystem::copy_file(NORVEX_CLI, program);
    AddPlugin("VistelRecorder.so");
    const auto ini = folder / "vistel-capture-cli.ini";
    for (const char* failing : {"ThrowingInitialize", "ThrowingOnHostStateChanged", "ThrowingProcess"})
    {
        const auto run = RunCli(folder.Path(), "--processor 記録 stream --frames 3",
                                std::string("VISTEL_RECORDER_FAILING=") + failing, program.string());
        EXPECT_EQ(run.exitCode, 1) << failing << "\n" << run.output;
        EXPECT_EQ(
            Occurrences(run.output, "プロセッサー「記録」(" + (folder / "VistelRecorder.so").string() + ")"),
            1u)
            << run.output;
        EXPECT_NE(Norvex::Testing::ReadFileText(ini).find("ProcessorName=なし"), std::string::npos)
            << failing;
    }
    // A stored processor whose end throws, replaced by another.
    ASSERT_EQ(RunCli(folder.Path(), "--processor 記録 stream --frames 3", "", program.string()).exitCode, 0);
    const auto replaced = RunCli(folder.Path(), "--processor なし stream --frames 3",
                                 "VISTEL_RECORDER_FAILING=ThrowingFinalize", program.string());
    EXPECT_EQ(replaced.exitCode, 1) << replaced.output;
    EXPECT_EQ(RunCli(folder.Path(), "stream --frames 3", "", program.string()).exitCode, 0);
}

// Without a camera the command line says what the window says and fails as "not found", unless
// told to wait; then a camera plugged in later is used.
TEST_F(ModelTest, CommandLineWithoutACameraSaysSoOrWaitsForOne)
{
    const std::string plug = "export NORVEX_TEST_CAMERA_PLUGGED=\"$PWD/plugged\" && : > plugged && ";
    const auto none = RunCli(folder.Path(), "list", plug);
    EXPECT_EQ(none.exitCode, 3);
    EXPECT_NE(none.output.find("カメラが接続されていません。"), std::string::npos) << none.output;

    // The camera is plugged in once the program said it waits for one (its message in err.txt).
    const std::string waiting = "cd '" + folder.Path().string() + "' && " + plug +
                                "true; (for i in $(seq 600); do grep -q カメラ err.txt 2>/dev/null && break; "
                                "sleep 0.05; done; echo 1 > plugged) & timeout -s KILL 30 '" NORVEX_CLI
                                "' --api-family 1 --wait --set Brightness=5 snapshot snap.png 2> err.txt; "
                                "echo \"exit $?\"; wait";
    std::unique_ptr<FILE, decltype(&::pclose)> pipe(::popen(waiting.c_str(), "r"), &::pclose);
    std::string output;
    char buffer[4096];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe.get()))
    {
        output += buffer;
    }
    EXPECT_NE(output.find("exit 0"), std::string::npos) << output;
    EXPECT_TRUE(std::filesystem::exists(folder.Path() / "snap.png"));

    const auto controls = RunCli(folder.Path(), "controls");
    EXPECT_EQ(controls.exitCode, 0) << controls.output;
    EXPECT_NE(controls.output.find("has no controls"), std::string::npos) << "the test cameras have none";
    EXPECT_EQ(RunCli(folder.Path(), "--set Shine=3 controls").exitCode, 2);
    EXPECT_EQ(RunCli(folder.Path(), "--set Brightness=bright controls").exitCode, 2);
}
