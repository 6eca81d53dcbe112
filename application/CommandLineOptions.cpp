#include "CommandLineOptions.h"

#include <Norvex/Core/StringHelpers.h>

#include <climits>
#include <cmath>

namespace VistelCapture
{
namespace
{

using BadUsage = CommandLineOptions::BadUsage;
using Norvex::Core::ToUtf8;

// The whole number `text` is, nothing before or after it; none for anything else.
std::optional<long long> WholeNumber(const std::string& text)
{
    try
    {
        std::size_t used = 0;
        const long long value = std::stoll(text, &used);
        if (used == text.size())
        {
            return value;
        }
    }
    catch (const std::logic_error&)
    {
    }
    return std::nullopt;
}

long long ParseNumber(const std::string& option, const std::string& text, long long minimum)
{
    if (const auto value = WholeNumber(text); value && *value >= minimum)
    {
        return *value;
    }
    throw BadUsage(option + " needs a whole number of at least " + std::to_string(minimum) + ", not '" +
                   text + "'");
}

// Seconds between recorded frames, to the millisecond: 0 (every frame) up to a day.
std::int32_t ParseInterval(const std::string& option, const std::string& text)
{
    try
    {
        std::size_t used = 0;
        const double seconds = std::stod(text, &used);
        if (used == text.size() && seconds >= 0 && seconds <= 86400)
        {
            return static_cast<std::int32_t>(std::lround(seconds * 1000));
        }
    }
    catch (const std::logic_error&)
    {
    }
    throw BadUsage(option + " needs seconds from 0 to 86400, not '" + text + "'");
}

CommandLineOptions::ControlSetting ParseControlSetting(const std::string& text)
{
    const auto equals = text.find('=');
    const auto* control =
        equals == std::string::npos ? nullptr : CameraControlStore::Find(text.substr(0, equals));
    if (!control)
    {
        std::string names;
        for (const auto& known : Vistel::Plugins::CameraControlTable())
        {
            names += (names.empty() ? "" : ", ") + ToUtf8(known.key);
        }
        throw BadUsage("--set needs NAME=VALUE with NAME one of " + names + ", not '" + text + "'");
    }
    const std::string value = text.substr(equals + 1);
    if (value == "auto")
    {
        return {control, 0, true};
    }
    if (const auto number = WholeNumber(value); number && *number >= INT32_MIN && *number <= INT32_MAX)
    {
        return {control, static_cast<std::int32_t>(*number), false};
    }
    throw BadUsage("--set " + text.substr(0, equals) + " needs a whole number or auto, not '" + value + "'");
}

} // namespace

std::string CommandLineOptions::FileFormatChoices(std::optional<FileFormatRow::Kind> kind)
{
    std::string choices;
    for (const auto& row : FileFormatTable::Rows())
    {
        if (!kind || row.kind == *kind)
        {
            choices += (choices.empty() ? "" : ", ") + std::string(row.names[0]);
        }
    }
    return choices;
}

int CommandLineOptions::ParseFileFormat(const std::string& name)
{
    const int index = FileFormatTable::IndexOfName(name);
    if (index < 0)
    {
        throw BadUsage("unknown file format '" + name + "'; choose one of " + FileFormatChoices());
    }
    return index;
}

CommandLineOptions CommandLineOptions::Parse(const std::vector<std::string>& arguments)
{
    CommandLineOptions options;
    std::vector<std::string> words;
    for (std::size_t i = 0; i < arguments.size(); ++i)
    {
        const std::string& argument = arguments[i];
        const auto value = [&]() -> const std::string&
        {
            if (i + 1 >= arguments.size())
            {
                throw BadUsage(argument + " needs a value");
            }
            return arguments[++i];
        };
        if (argument == "--api-family")
        {
            options.apiFamily = static_cast<int>(ParseNumber(argument, value(), 0));
        }
        else if (argument == "--device")
        {
            options.device = value();
        }
        else if (argument == "--format")
        {
            options.format = value();
        }
        else if (argument == "--processor")
        {
            options.processor = value();
        }
        else if (argument == "--file-format")
        {
            options.fileFormat = ParseFileFormat(value());
        }
        else if (argument == "--bit-rate")
        {
            options.bitRate = static_cast<int>(ParseNumber(argument, value(), 1));
        }
        else if (argument == "--frames")
        {
            options.frames = ParseNumber(argument, value(), 1);
        }
        else if (argument == "--seconds")
        {
            options.seconds = static_cast<double>(ParseNumber(argument, value(), 1));
        }
        else if (argument == "--interval")
        {
            options.intervalMilliseconds = ParseInterval(argument, value());
        }
        else if (argument == "--timestamps" || argument == "--no-timestamps")
        {
            options.timestamps = argument == "--timestamps";
        }
        else if (argument == "--quiet")
        {
            options.quiet = true;
        }
        else if (argument == "--wait")
        {
            options.wait = true;
        }
        else if (argument == "--set")
        {
            options.controlSettings.push_back(ParseControlSetting(value()));
        }
        else if (argument.starts_with("--"))
        {
            throw BadUsage("unknown option " + argument);
        }
        else
        {
            words.push_back(argument);
        }
    }
    if (words.empty())
    {
        throw BadUsage("no command given");
    }
    options.command = words[0];
    const bool takesPath = options.command == "snapshot" || options.command == "record";
    const std::size_t expected = takesPath ? 2 : 1;
    if (options.command != "list" && options.command != "stream" && options.command != "controls" &&
        !takesPath)
    {
        throw BadUsage("unknown command '" + options.command + "'");
    }
    if (words.size() != expected)
    {
        throw BadUsage(expected == 1 ? options.command + " takes no argument"
                                     : options.command + " needs exactly one path");
    }
    if (expected == 2)
    {
        options.target = words[1];
    }
    if ((options.command == "record" || options.command == "stream") && options.frames == 0 &&
        options.seconds == 0)
    {
        throw BadUsage(options.command + " needs --frames N or --seconds S");
    }
    return options;
}

const char* CommandLineOptions::Usage()
{
    static const std::string text =
        "usage: vistel-capture-cli [options] list\n"
        "       vistel-capture-cli [options] snapshot FILE\n"
        "       vistel-capture-cli [options] record PATH (--frames N | --seconds S)\n"
        "       vistel-capture-cli [options] stream (--frames N | --seconds S)\n"
        "       vistel-capture-cli [options] controls\n"
        "\n"
        "  list               devices with their formats, and the processors\n"
        "  snapshot FILE      one frame as a still image (format from --file-format or FILE's extension)\n"
        "  record PATH        every frame: a movie file, or time-stamped images in the folder PATH\n"
        "  stream             frames through the processor, nothing saved; prints the frame rate\n"
        "  controls           the camera's controls with their ranges and current values\n"
        "\n"
        "options:\n"
        "  --api-family N     0 V4L2, 1 GStreamer (default: the INI file's CaptureApiFamily)\n"
        "  --device D         index, device path or name\n"
        "  --format F         index or display name, e.g. \"YUY2 640x480 (30fps)\"\n"
        "  --processor NAME   processor by name\n"
        "  --file-format X    " +
        FileFormatChoices() +
        "\n"
        "  --bit-rate K       movie bit rate in kbit/s\n"
        "  --frames N, --seconds S   how much to record\n"
        "  --interval S       record one frame every S seconds (time-lapse; 0: every frame)\n"
        "  --timestamps, --no-timestamps   a time-stamp file beside the recording (PATH.frames.csv,\n"
        "                     or frames.csv in the folder), or none; default: the INI file's\n"
        "                     IsTimestampFileEnabled\n"
        "  --quiet            no progress line\n"
        "  --wait             without a camera, wait until one is plugged in\n"
        "  --set NAME=VALUE   keep a control's value (or auto) for the camera; applied at every start\n"
        "\n"
        "exit codes: 0 done, 1 capture or file error, 2 usage error, 3 device, format or processor not "
        "found\n";
    return text.c_str();
}

} // namespace VistelCapture
