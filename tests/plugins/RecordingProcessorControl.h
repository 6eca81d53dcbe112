#pragma once

// Reaches the call log and the switches of the test plug-in VistelRecorder.so, whose processors
// record every call they receive ("<instance> <operation> <arguments>", instances counted from 1
// per loaded library). The control keeps the library loaded while it exists.

#include <dlfcn.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace VistelTest
{

// The control functions the recorder library exports with C linkage.
using RecorderTakeCallsFunction = void (*)(std::vector<std::string>* calls);
using RecorderConfigureFunction = void (*)(const char* failingOperations, bool captureMouse);
using RecorderGetLiveCountFunction = std::int32_t (*)();

class RecordingProcessorControl
{
public:
    explicit RecordingProcessorControl(const std::filesystem::path& libraryPath)
        : handle(::dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL))
    {
        if (!handle)
        {
            throw std::runtime_error("cannot load " + libraryPath.string());
        }
        takeCalls = reinterpret_cast<RecorderTakeCallsFunction>(::dlsym(handle, "VistelRecorderTakeCalls"));
        configure = reinterpret_cast<RecorderConfigureFunction>(::dlsym(handle, "VistelRecorderConfigure"));
        getLiveCount =
            reinterpret_cast<RecorderGetLiveCountFunction>(::dlsym(handle, "VistelRecorderGetLiveCount"));
        if (!takeCalls || !configure || !getLiveCount)
        {
            ::dlclose(handle);
            throw std::runtime_error("not the recorder library: " + libraryPath.string());
        }
    }
    RecordingProcessorControl(const RecordingProcessorControl&) = delete;
    RecordingProcessorControl& operator=(const RecordingProcessorControl&) = delete;
    ~RecordingProcessorControl() { ::dlclose(handle); }

    // The calls recorded since the last TakeCalls, oldest first.
    std::vector<std::string> TakeCalls() const
    {
        std::vector<std::string> calls;
        takeCalls(&calls);
        return calls;
    }

    // failingOperations: operation names separated by blanks that return E_FAIL from now on, or
    // with "Throwing" before the name throw a C++ exception of the library's own; "CreateProcessor"
    // makes the factory fail, "NullProcessor" makes it succeed without an object.
    // captureMouse: what OnLButtonDown stores.
    void Configure(const char* failingOperations, bool captureMouse = false) const
    {
        configure(failingOperations, captureMouse);
    }

    // Processors of the library currently alive.
    std::int32_t GetLiveCount() const { return getLiveCount(); }

private:
    void* handle;
    RecorderTakeCallsFunction takeCalls = nullptr;
    RecorderConfigureFunction configure = nullptr;
    RecorderGetLiveCountFunction getLiveCount = nullptr;
};

} // namespace VistelTest
