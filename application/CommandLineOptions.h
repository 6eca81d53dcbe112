#pragma once

#include "CameraControlStore.h"
#include "FileFormatTable.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace VistelCapture
{

// What the command line was asked: the command, its path and its options, checked as far as
// they can be without a camera.
struct CommandLineOptions
{
    // A malformed command line: the command line prints it with the usage and exits with 2.
    struct BadUsage : std::runtime_error
    {
        using std::runtime_error::runtime_error;
    };

    std::string command;
    std::string target;
    std::optional<int> apiFamily;
    std::optional<std::string> device;
    std::optional<std::string> format;
    std::optional<std::string> processor;
    std::optional<int> fileFormat;
    std::optional<int> bitRate;
    std::optional<bool> timestamps;
    long long frames = 0;
    double seconds = 0;
    std::optional<std::int32_t> intervalMilliseconds;
    bool quiet = false;
    bool wait = false;
    // --set NAME=VALUE, in order: a value, or automatic mode for "auto".
    struct ControlSetting
    {
        const CameraControlStore::Description* control = nullptr;
        std::int32_t value = 0;
        bool isAuto = false;
    };
    std::vector<ControlSetting> controlSettings;

    // The help text: the commands, every option and the exit codes.
    static const char* Usage();
    // Raises BadUsage for an unknown command or option, a missing or malformed value.
    static CommandLineOptions Parse(const std::vector<std::string>& arguments);
    // The names the command line takes for the formats of one kind, or of all: "bmp, jpeg, png, tiff".
    static std::string FileFormatChoices(std::optional<FileFormatRow::Kind> kind = std::nullopt);
    // The format a name stands for (FileFormatTable's index); raises BadUsage listing the choices.
    static int ParseFileFormat(const std::string& name);
};

} // namespace VistelCapture
