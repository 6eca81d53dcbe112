#include "CommandLine.h"

#include "CameraControlStore.h"
#include "CommandLineOptions.h"
#include "FileFormatTable.h"
#include "MainModel.h"
#include "ModelListener.h"
#include "ProcessorEntry.h"
#include "SignalWatcher.h"
#include "VistelCaptureApp.h"

#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Mfc/PropertyChangedEvent.h>

#include <QCoreApplication>
#include <QObject>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>

using Norvex::Core::Exception;
using Norvex::Core::ToUtf8;
using Norvex::Core::ToWideString;

namespace VistelCapture
{
namespace
{

using Options = CommandLineOptions;
using BadUsage = CommandLineOptions::BadUsage;

struct NotFoundError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

// A failure about a file or folder the user named: its path first, as tools here print it.
void PrintPathError(const std::string& path, const std::string& text)
{
    std::fprintf(stderr, "vistel-capture-cli: %s: %s\n", path.c_str(), text.c_str());
}

bool IsIndex(const std::string& text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

void PrintList(const MainModel& model)
{
    const auto& devices = model.GetDevices();
    for (std::size_t i = 0; i < devices.size(); ++i)
    {
        std::printf("device %zu: %s\n  path: %s\n", i, ToUtf8(devices[i]->friendlyName).c_str(),
                    ToUtf8(devices[i]->devicePath).c_str());
        const auto& formats = devices[i]->frameFormats;
        for (std::size_t j = 0; j < formats.size(); ++j)
        {
            std::printf("  format %zu: %s\n", j, ToUtf8(formats[j]->GetName()).c_str());
        }
    }
    const auto& entries = model.GetProcessorEntries();
    for (std::size_t i = 0; i < entries.size(); ++i)
    {
        std::printf("processor %zu: %s\n", i, ToUtf8(entries[i]->GetName()).c_str());
    }
}

// The current camera's controls with their ranges and current values. A V4L2 camera offers them
// only while it streams, and the start applies the values kept for it (--set among them).
int ListControls(MainModel& model)
{
    model.StartCapture();
    const auto controls = CameraControlStore::Read(model.GetCurrentDevice());
    model.StopCapture();
    if (controls.empty())
    {
        std::printf("%s has no controls\n", ToUtf8(model.GetCurrentDevice().friendlyName).c_str());
    }
    for (const auto& control : controls)
    {
        std::printf("%s (%s): %s%d  range %d..%d step %d default %d%s\n",
                    ToUtf8(control.description->key).c_str(), control.description->label,
                    control.isAuto ? "auto, " : "", control.value, control.minimum, control.maximum,
                    control.step, control.defaultValue, control.canBeAuto ? ", auto possible" : "");
    }
    return CommandLine::Success;
}

// Waits until a camera is listed or a termination signal comes; true when one is.
bool WaitForCamera(MainModel& model, SignalWatcher& terminationSignals)
{
    ModelListener listener(
        [&](MainModelProperty property)
        {
            if (property == MainModelProperty::DeviceList && !model.GetDevices().empty())
            {
                QCoreApplication::exit(0);
            }
        });
    model.AddListener(&listener);
    model.WatchDevices();
    terminationSignals.SetHandler([](int) { QCoreApplication::exit(1); });
    // One that came before the watch began is listed by a listing of its own.
    model.UpdateDevices();
    if (model.GetDevices().empty() && SignalWatcher::GetReceivedSignal() == 0)
    {
        QCoreApplication::exec();
    }
    terminationSignals.SetHandler(nullptr);
    model.RemoveListener(&listener);
    return !model.GetDevices().empty();
}

// The item the user chose: by its index when the text is one that exists, else the first whose
// name matches. Raises NotFoundError with `what` when there is none.
template <class Items, class Matches>
std::int32_t FindChoice(const Items& items, const std::string& text, Matches matchesName,
                        const std::string& what)
{
    // At most nine digits: the number then fits and can never overflow the conversion.
    if (IsIndex(text) && text.size() <= 9 && std::stoul(text) < items.size())
    {
        return static_cast<std::int32_t>(std::stoul(text));
    }
    const auto wanted = ToWideString(text);
    const auto found =
        std::find_if(items.begin(), items.end(), [&](const auto& item) { return matchesName(item, wanted); });
    if (found == items.end())
    {
        throw NotFoundError(what + " '" + text + "'");
    }
    return static_cast<std::int32_t>(found - items.begin());
}

void ApplySelection(MainModel& model, const Options& options)
{
    if (options.device)
    {
        model.SelectDevice(FindChoice(
            model.GetDevices(), *options.device,
            [](const auto& device, const std::wstring& name)
            { return device->IsNamedBy(name) || device->friendlyName == name; },
            "no device"));
    }
    if (options.format)
    {
        model.SelectFrameFormat(FindChoice(
            model.GetCurrentDevice().frameFormats, *options.format,
            [](const auto& format, const std::wstring& name) { return format->GetName() == name; },
            "the device has no format"));
    }
    if (options.processor)
    {
        // Processors are chosen by name only: a plug-in may well call one "1".
        const auto& entries = model.GetProcessorEntries();
        const auto wanted = ToWideString(*options.processor);
        const auto found = std::find_if(entries.begin(), entries.end(),
                                        [&](const auto& entry) { return entry->GetName() == wanted; });
        if (found == entries.end())
        {
            throw NotFoundError("no processor '" + *options.processor + "'");
        }
        model.SelectProcessor(static_cast<std::int32_t>(found - entries.begin()));
    }
}

int FileFormatFor(const Options& options, bool movieExpected)
{
    if (options.fileFormat)
    {
        return *options.fileFormat;
    }
    const auto target = ToWideString(options.target);
    const auto extension = target.substr(Norvex::Core::ChangeExtension(target, L"").size());
    if (!extension.empty())
    {
        return Options::ParseFileFormat(ToUtf8(extension.substr(1)));
    }
    if (movieExpected)
    {
        throw BadUsage("say --file-format, or give the file an extension");
    }
    return FileFormatTable::IndexOfName("png"); // a folder of images
}

// Text of an error for the terminal: the message without its closing line break, the source
// position only when the INI file asks for debug messages (as the window shows it).
std::string WithoutClosingBreaks(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    {
        text.pop_back();
    }
    return text;
}

std::string ErrorText(const MainModel& model, const Exception& exception)
{
    return WithoutClosingBreaks(ToUtf8(model.GetApplication().ComposeErrorText(exception)));
}

// A processor's failure as the window tells it, once the model has gone back to "なし" and stored
// that; nothing when no processor failed.
std::optional<std::string> ProcessorFailureText(MainModel& model)
{
    const auto message = model.RecoverFromProcessorFailure();
    return message ? std::optional(WithoutClosingBreaks(ToUtf8(*message))) : std::nullopt;
}

// Streams until done() says so, the first frame error is reported, a termination signal comes
// or no frame comes for 10 s. Returns the error that ended it, if any.
std::optional<std::string> Stream(MainModel& model, SignalWatcher& terminationSignals,
                                  const std::function<bool()>& done, const std::function<void()>& onFrame)
{
    std::optional<std::string> error;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    watchdog.setInterval(10000);
    QObject::connect(&watchdog, &QTimer::timeout,
                     [&]
                     {
                         error = "no frame arrived for 10 seconds";
                         QCoreApplication::exit(1);
                     });
    ModelListener listener(
        [&](MainModelProperty property)
        {
            if (error)
            {
                return; // announcements still queued behind the one that ended the loop
            }
            if (property == MainModelProperty::Frame && model.IsCapturing())
            {
                watchdog.start();
                onFrame();
                if (done())
                {
                    QCoreApplication::exit(0);
                }
            }
            else if (property == MainModelProperty::DebugMessage)
            {
                const auto exception = model.GetLastException();
                error = exception ? ErrorText(model, *exception) : ToUtf8(model.GetDebugMessage());
                QCoreApplication::exit(1);
            }
            else if (property == MainModelProperty::IsCapturing && !model.IsCapturing())
            {
                // The camera went away before its stream said so (seen with --wait, which
                // watches the cameras); a recording's warnings follow from Record.
                const auto reason = model.GetCaptureEndReason();
                error = reason ? ErrorText(model, *reason) : "capture stopped";
                QCoreApplication::exit(1);
            }
            else if (property == MainModelProperty::ProcessorFailed)
            {
                error = ProcessorFailureText(model);
                if (error)
                {
                    QCoreApplication::exit(1);
                }
            }
        });
    model.AddListener(&listener);
    terminationSignals.SetHandler([](int) { QCoreApplication::exit(1); });
    if (!model.IsCapturing())
    {
        model.StartCapture();
    }
    watchdog.start();
    // A signal that came before the loop ran would not end it.
    if (SignalWatcher::GetReceivedSignal() == 0)
    {
        QCoreApplication::exec();
    }
    terminationSignals.SetHandler(nullptr);
    model.StopCapture();
    model.RemoveListener(&listener);
    return error;
}

int Snapshot(MainModel& model, SignalWatcher& terminationSignals, const Options& options)
{
    const int format = FileFormatFor(options, false);
    if (FileFormatTable::IsMovie(format))
    {
        throw BadUsage("a snapshot is a still image: " +
                       Options::FileFormatChoices(FileFormatRow::Kind::Still));
    }
    model.FileFormat = format;
    bool captured = false;
    const auto error = Stream(
        model, terminationSignals, [&] { return captured; }, [&] { captured = true; });
    if (SignalWatcher::GetReceivedSignal() != 0)
    {
        return CommandLine::Failure;
    }
    if (!captured)
    {
        std::fprintf(stderr, "vistel-capture-cli: %s\n", error.value_or("no frame").c_str());
        return CommandLine::Failure;
    }
    MainModel::Image image(model.GetCurrentFrameFormat().width, model.GetCurrentFrameFormat().height);
    model.CopyFrame(image);
    try
    {
        const auto written = model.SaveFrame(image, ToWideString(options.target));
        std::printf("%s\n", ToUtf8(written).c_str());
    }
    catch (const Exception& exception)
    {
        // The system's text alone ("No such file or directory") says neither which file nor why.
        const auto folder = std::filesystem::path(options.target).parent_path();
        std::error_code error;
        PrintPathError(options.target, "cannot save the snapshot: " +
                                           (!folder.empty() && !std::filesystem::is_directory(folder, error)
                                                ? "the folder " + folder.string() + " does not exist"
                                                : ErrorText(model, exception)));
        return CommandLine::Failure;
    }
    return CommandLine::Success;
}

// Frames through the processor and nothing saved: what the live view costs.
int StreamOnly(MainModel& model, SignalWatcher& terminationSignals, const Options& options)
{
    // The model's own count: Frame announcements are merged when this loop is slower than the
    // camera, so counting them would undercount.
    long long frames = 0;
    // What this measures is the frame path: every frame is converted as a preview's would be,
    // though nothing here reads the pictures.
    model.SetEveryPictureMade(true);
    const std::int64_t countBefore = model.GetCapturedFrameCount();
    const auto start = std::chrono::steady_clock::now();
    const auto elapsed = [&]
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    const auto finished = [&]
    {
        return (options.frames > 0 && frames >= options.frames) ||
               (options.seconds > 0 && elapsed() >= options.seconds);
    };
    const auto error = Stream(model, terminationSignals, finished,
                              [&] { frames = model.GetCapturedFrameCount() - countBefore; });
    if (error)
    {
        std::fprintf(stderr, "vistel-capture-cli: %s\n", error->c_str());
    }
    const double seconds = elapsed();
    std::printf("%lld frames in %.3f s (%.2f fps)\n", frames, seconds, seconds > 0 ? frames / seconds : 0.0);
    return !error && finished() ? CommandLine::Success : CommandLine::Failure;
}

int Record(MainModel& model, SignalWatcher& terminationSignals, const Options& options)
{
    const int format = FileFormatFor(options, false);
    model.FileFormat = format;
    model.SaveTarget = 1;
    if (options.bitRate)
    {
        model.MovieBitRate = *options.bitRate;
    }
    // --interval, --timestamps and --no-timestamps are for this run: the INI file keeps its own
    // choice (an interval kept from one run would make every later recording a time-lapse).
    const auto forThisRun = [](auto& setting, const auto& given)
    {
        struct Restore
        {
            std::remove_reference_t<decltype(setting)>& kept;
            const std::remove_reference_t<decltype(setting)> stored;
            ~Restore() { kept = stored; }
        };
        const auto stored = setting;
        setting = given.value_or(stored);
        return Restore{setting, stored}; // a prvalue: never copied, restored once
    };
    const auto interval = forThisRun(model.RecordingInterval, options.intervalMilliseconds);
    const auto timestamps = forThisRun(model.IsTimestampFileEnabled, options.timestamps);
    model.SetRecordingFrameLimit(options.frames);
    model.SetRecordingEndsOnSaveError(true);
    // Streaming before the file opens: a capture card takes the format of its signal's size at the
    // start, and the movie is made at the size that streams.
    model.StartCapture();
    try
    {
        if (FileFormatTable::Get(format).IsStill())
        {
            // The folder of a still recording ("record frames/") need not exist yet: made like mkdir -p.
            const std::filesystem::path folder(options.target);
            std::error_code error;
            std::filesystem::create_directories(folder, error);
            if (!std::filesystem::is_directory(folder, error))
            {
                PrintPathError(options.target,
                               "cannot make the folder: " +
                                   std::generic_category().message(error ? error.value() : ENOTDIR));
                return CommandLine::Failure;
            }
        }
        model.StartRecording(ToWideString(options.target));
    }
    catch (const Exception& exception)
    {
        PrintPathError(options.target, ErrorText(model, exception));
        return CommandLine::Failure;
    }
    const auto start = std::chrono::steady_clock::now();
    const auto finished = [&]
    {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return (options.frames > 0 && model.GetRecordedFrameCount() >= options.frames) ||
               (options.seconds > 0 && elapsed >= options.seconds);
    };
    // A line rewritten in place suits a terminal only: a pipe or a log file gets the summary alone.
    const bool showsProgress = !options.quiet && ::isatty(STDERR_FILENO);
    // What the window's status bar shows: frames written, frames dropped, time.
    const auto summary = [&]
    {
        const auto status = model.GetRecordingStatus();
        std::fprintf(stderr, "%srecorded %lld frames, %lld dropped, %.1f s", showsProgress ? "\r" : "",
                     static_cast<long long>(status.written), static_cast<long long>(status.dropped),
                     std::chrono::duration<double>(status.elapsed).count());
    };
    // An empty recording, or one that dropped frames: told whatever --quiet says, a drop as it
    // happens (a long time-lapse would otherwise say it a day late).
    const auto tellWarnings = [&](bool onProgressLine)
    {
        for (const auto& warning : model.TakeRecordingWarnings())
        {
            std::fputs(onProgressLine ? "\n" : "", stderr);
            PrintPathError(options.target, WithoutClosingBreaks(ToUtf8(warning)));
        }
    };
    const auto progress = [&]
    {
        tellWarnings(showsProgress);
        if (showsProgress)
        {
            summary();
        }
    };
    // A recording that ended before (a capture card's signal changed its size under a movie) says
    // why among the warnings.
    const auto error = Stream(
        model, terminationSignals, [&] { return finished() || !model.IsRecording(); }, progress);
    // Finishes the file as far as it can be, also after a failed frame or a signal.
    std::optional<std::string> closeError;
    try
    {
        model.StopRecording();
    }
    catch (const Exception& exception)
    {
        closeError = ErrorText(model, exception);
    }
    if (!options.quiet)
    {
        summary();
        std::fputc('\n', stderr);
    }
    for (const auto& text : {error, closeError != error ? closeError : std::nullopt})
    {
        if (text)
        {
            PrintPathError(options.target, *text);
        }
    }
    tellWarnings(false);
    const bool empty = model.GetRecordedFrameCount() == 0;
    return !error && !closeError && !empty && finished() ? CommandLine::Success : CommandLine::Failure;
}

int RunCommand(const Options& options, SignalWatcher& terminationSignals)
{
    auto& application = VistelCaptureApp::Instance();
    try
    {
        application.PrepareIniFile();
        application.LoadApplicationSettings();
        const int family = options.apiFamily.value_or(application.CaptureApiFamily);
        std::optional<MainModel> model;
        try
        {
            // Only a listing or another processor than the built-in one needs the plug-ins.
            const bool processorsNeeded =
                options.command == "list" ||
                (options.processor && ToWideString(*options.processor) != ProcessorEntry::builtInName);
            model.emplace(family, application.SkipErrorDevice, application.SkipDuplicatedFrameFormat,
                          application.GetApplicationFolder(), application,
                          processorsNeeded ? MainModel::ProcessorLoading::Always
                                           : MainModel::ProcessorLoading::WhenStored);
        }
        catch (const Exception& exception)
        {
            std::fprintf(stderr, "vistel-capture-cli: %s\n",
                         ToUtf8(application.ComposeErrorText(exception)).c_str());
            return exception.GetFunctionName() == L"MainModel" ? CommandLine::NotFound : CommandLine::Failure;
        }
        if (model->GetDevices().empty())
        {
            // The same line the window shows in its preview area.
            std::fprintf(stderr, "vistel-capture-cli: %s\n", ToUtf8(model->GetAbsenceText()).c_str());
            if (!options.wait)
            {
                return CommandLine::NotFound;
            }
            if (!WaitForCamera(*model, terminationSignals))
            {
                return CommandLine::Failure;
            }
        }
        ApplySelection(*model, options);
        // Kept for the camera like a change on its page, and applied whenever it starts.
        CameraControlStore store(application.GetProfile());
        for (const auto& setting : options.controlSettings)
        {
            store.Store(model->GetCurrentDevice(), *setting.control, setting.value, setting.isAuto);
        }
        // A processor that failed, at its start or later, fails the command; "なし" is stored, so
        // the next one works.
        const auto reportedProcessorFailure = [&]
        {
            const auto failure = ProcessorFailureText(*model);
            if (failure)
            {
                std::fprintf(stderr, "vistel-capture-cli: %s\n", failure->c_str());
            }
            return failure.has_value();
        };
        if (reportedProcessorFailure())
        {
            return CommandLine::Failure;
        }
        int result = CommandLine::Success;
        if (options.command == "list")
        {
            PrintList(*model);
        }
        else if (options.command == "controls")
        {
            result = ListControls(*model);
        }
        else if (options.command == "stream")
        {
            result = StreamOnly(*model, terminationSignals, options);
        }
        else
        {
            result = options.command == "snapshot" ? Snapshot(*model, terminationSignals, options)
                                                   : Record(*model, terminationSignals, options);
        }
        return reportedProcessorFailure() ? CommandLine::Failure : result;
    }
    catch (const BadUsage& error)
    {
        std::fprintf(stderr, "vistel-capture-cli: %s\n", error.what());
        return CommandLine::UsageError;
    }
    catch (const NotFoundError& error)
    {
        std::fprintf(stderr, "vistel-capture-cli: %s\n", error.what());
        return CommandLine::NotFound;
    }
    catch (const Exception& exception)
    {
        std::fprintf(stderr, "vistel-capture-cli: %s\n",
                     ToUtf8(application.ComposeErrorText(exception)).c_str());
        return CommandLine::Failure;
    }
}

} // namespace

const char* CommandLine::HelpText()
{
    return CommandLineOptions::Usage();
}

int CommandLine::Run(const std::vector<std::string>& arguments)
{
    Options options;
    try
    {
        if (std::find(arguments.begin(), arguments.end(), "--help") != arguments.end())
        {
            std::fputs(HelpText(), stdout);
            return Success;
        }
        options = Options::Parse(arguments);
    }
    catch (const BadUsage& error)
    {
        std::fprintf(stderr, "vistel-capture-cli: %s\n\n%s", error.what(), HelpText());
        return UsageError;
    }

    // Ctrl+C or a logout ends a recording like its end does: the file is finished, then the
    // exit code says which signal came (128 + its number, as a shell reports a killed program).
    SignalWatcher terminationSignals({SIGINT, SIGTERM});
    const int code = RunCommand(options, terminationSignals);
    const int signal = SignalWatcher::GetReceivedSignal();
    return signal != 0 ? 128 + signal : code;
}

} // namespace VistelCapture
