#pragma once

// What the drivers that time whole programs share (bench/cli, bench/snapshot, the ffmpeg reference
// of bench/recording): their command line, starting a child with its output in a log, and its CPU
// time and peak memory from wait4.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace VistelBench
{

// Prints "<driver>: message" and ends the driver.
[[noreturn]] inline void Fail(const std::string& message)
{
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, message.c_str());
    std::exit(1);
}

class FileActions
{
public:
    FileActions() { posix_spawn_file_actions_init(&actions); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
    posix_spawn_file_actions_t* Get() noexcept { return &actions; }

private:
    posix_spawn_file_actions_t actions;
};

// Starts a child with stdout and stderr appended to log; stdin and fd 3 as given, or /dev/null
// and nothing.
inline pid_t Spawn(const std::vector<std::string>& arguments, const std::filesystem::path& log,
                   int input = -1, int fd3 = -1)
{
    FileActions actions;
    if (input >= 0)
    {
        posix_spawn_file_actions_adddup2(actions.Get(), input, 0);
    }
    else
    {
        posix_spawn_file_actions_addopen(actions.Get(), 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(actions.Get(), 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(actions.Get(), 1, 2);
    if (fd3 >= 0)
    {
        posix_spawn_file_actions_adddup2(actions.Get(), fd3, 3);
    }
    std::vector<char*> argv;
    for (const auto& argument : arguments)
    {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (const int error = posix_spawnp(&pid, argv[0], actions.Get(), nullptr, argv.data(), environ);
        error != 0)
    {
        Fail("cannot start " + arguments[0] + ": " + std::strerror(error));
    }
    return pid;
}

struct ChildUsage
{
    bool ok = false;          // exited with status 0
    double cpuSeconds = 0;    // user + system
    double systemSeconds = 0; // of which in the kernel
    long peakKilobytes = 0;
};

inline ChildUsage Wait(pid_t child)
{
    int status = 0;
    rusage usage{};
    while (::wait4(child, &status, 0, &usage) < 0)
    {
        if (errno != EINTR)
        {
            Fail(std::string("wait4: ") + std::strerror(errno));
        }
    }
    ChildUsage result;
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    result.systemSeconds = usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    result.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + result.systemSeconds;
    result.peakKilobytes = usage.ru_maxrss;
    return result;
}

// The drivers' command line: --cli PATH --gstreamer-dir DIR [--registry FILE] [--frames N] [--keep]
// [--case NAME]...
struct DriverSettings
{
    std::filesystem::path cli;
    std::filesystem::path gstreamerDir;
    std::filesystem::path registry; // by default beside the plug-in folder
    long long frames = 0;
    bool keep = false;
    std::vector<std::string> cases; // the cases to run; empty for all

    bool Runs(const std::string& name) const
    {
        return cases.empty() || std::find(cases.begin(), cases.end(), name) != cases.end();
    }
};

inline DriverSettings ParseDriverSettings(int argc, char** argv, const char* usage, long long frames,
                                          long long leastFrames)
{
    DriverSettings settings;
    settings.frames = frames;
    for (int i = 1; i < argc; ++i)
    {
        const std::string argument = argv[i];
        const auto value = [&]() -> std::string
        {
            if (i + 1 >= argc)
            {
                Fail(argument + " needs a value");
            }
            return argv[++i];
        };
        if (argument == "--cli")
        {
            settings.cli = value();
        }
        else if (argument == "--gstreamer-dir")
        {
            settings.gstreamerDir = value();
        }
        else if (argument == "--registry")
        {
            settings.registry = value();
        }
        else if (argument == "--frames")
        {
            settings.frames = std::atoll(value().c_str());
        }
        else if (argument == "--keep")
        {
            settings.keep = true;
        }
        else if (argument == "--case")
        {
            settings.cases.push_back(value());
        }
        else
        {
            Fail(usage);
        }
    }
    if (settings.cli.empty() || settings.gstreamerDir.empty() || settings.frames < leastFrames)
    {
        Fail(leastFrames > 1
                 ? std::string(usage) + "\n(--frames: at least " + std::to_string(leastFrames) + ")"
                 : std::string(usage));
    }
    if (settings.registry.empty())
    {
        settings.registry = settings.gstreamerDir.parent_path() / "gstreamer-registry.bin";
    }
    return settings;
}

} // namespace VistelBench
