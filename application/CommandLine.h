#pragma once

#include <string>
#include <vector>

namespace VistelCapture
{

// The scriptable front end: lists devices and formats, takes snapshots and records through the
// same model as the window. Returns the process exit code (see the help text).
class CommandLine
{
public:
    enum ExitCode : int
    {
        Success = 0,
        Failure = 1,    // capture, encoding or file error
        UsageError = 2, // bad arguments
        NotFound = 3,   // no device, or the device, format or processor asked for does not exist
    };

    static int Run(const std::vector<std::string>& arguments);
    static const char* HelpText();
};

} // namespace VistelCapture
