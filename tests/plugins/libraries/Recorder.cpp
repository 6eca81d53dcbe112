// Two processors ("記録", "記録 2") that record every call they receive, for the model's tests.
// The log and the switches are reached through the C functions below (RecordingProcessorControl.h);
// a program run by a test takes its switches from VISTEL_RECORDER_FAILING when the library loads.
#include "TestFactory.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

using Norvex::Core::E_FAIL;
using Norvex::Core::HRESULT;
using Norvex::Core::S_OK;

struct Recorder
{
    std::mutex mutex; // guards everything below; processors are called from two threads
    std::vector<std::string> calls;
    std::set<std::string> failing;
    bool captureMouse = false;
    int nextInstance = 1;
    std::int32_t liveCount = 0;

    // Records the call and answers what the switches say: E_FAIL, or for "Throwing<operation>" an
    // exception of the library's own.
    HRESULT Record(int instance, const std::string& operation, const std::string& arguments = {})
    {
        std::lock_guard lock(mutex);
        calls.push_back(std::to_string(instance) + " " + operation +
                        (arguments.empty() ? "" : " " + arguments));
        if (failing.count("Throwing" + operation))
        {
            throw std::runtime_error(operation + " threw");
        }
        return failing.count(operation) ? E_FAIL : S_OK;
    }

    void Configure(const char* failingOperations, bool mouseCaptured)
    {
        std::lock_guard lock(mutex);
        failing.clear();
        std::istringstream words(failingOperations ? failingOperations : "");
        for (std::string word; words >> word;)
        {
            failing.insert(word);
        }
        captureMouse = mouseCaptured;
    }

    bool Fails(const std::string& operation)
    {
        std::lock_guard lock(mutex);
        return failing.count(operation) != 0;
    }
};

Recorder recorder;

// A program started by a test is configured before it loads the library.
[[maybe_unused]] const bool configuredFromEnvironment = []
{
    recorder.Configure(std::getenv("VISTEL_RECORDER_FAILING"), false);
    return true;
}();

std::string FormatPoint(std::uint32_t flags, const Vistel::Framework::Point2F* point)
{
    char text[64];
    if (point)
    {
        std::snprintf(text, sizeof text, "%u %g %g", flags, point->x, point->y);
    }
    else
    {
        std::snprintf(text, sizeof text, "%u null", flags);
    }
    return text;
}

class RecordingProcessor final : public Vistel::Framework::ProcessorBase
{
public:
    RecordingProcessor()
    {
        std::lock_guard lock(recorder.mutex);
        instance = recorder.nextInstance++;
        ++recorder.liveCount;
    }
    ~RecordingProcessor() override
    {
        recorder.Record(instance, "Destroy");
        std::lock_guard lock(recorder.mutex);
        --recorder.liveCount;
    }

    void RecordCreation(std::int32_t index) { recorder.Record(instance, "Create", std::to_string(index)); }

    HRESULT QueryInterface(const Norvex::Core::IID& iid, void** object) override
    {
        recorder.Record(instance, "QueryInterface");
        return ProcessorBase::QueryInterface(iid, object);
    }
    HRESULT Initialize(Vistel::Framework::IHostServices* host) override
    {
        const HRESULT status = recorder.Record(instance, "Initialize", host ? "host" : "null");
        return Norvex::Core::FAILED(status) ? status : ProcessorBase::Initialize(host);
    }
    HRESULT Finalize() override
    {
        const HRESULT status = recorder.Record(instance, "Finalize");
        return Norvex::Core::FAILED(status) ? status : ProcessorBase::Finalize();
    }
    HRESULT CreateControlPanel(QWidget* parent, QWidget** window) override
    {
        const HRESULT status = recorder.Record(instance, "CreateControlPanel", parent ? "parent" : "null");
        return Norvex::Core::FAILED(status) ? status : ProcessorBase::CreateControlPanel(parent, window);
    }
    const Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>* GetImage() override
    {
        recorder.Record(instance, "GetImage");
        return ProcessorBase::GetImage();
    }
    HRESULT Process() override { return recorder.Record(instance, "Process"); }
    HRESULT Reset() override { return recorder.Record(instance, "Reset"); }
    HRESULT OnDraw2d(QPainter* renderTarget, double scale) override
    {
        char text[64];
        std::snprintf(text, sizeof text, "%s %g", renderTarget ? "target" : "null", scale);
        return recorder.Record(instance, "OnDraw2d", text);
    }
    HRESULT OnRecreated2dResources(QPainter* renderTarget) override
    {
        return recorder.Record(instance, "OnRecreated2dResources", renderTarget ? "target" : "null");
    }
    HRESULT OnMouseEnter() override { return recorder.Record(instance, "OnMouseEnter"); }
    HRESULT OnMouseLeave() override { return recorder.Record(instance, "OnMouseLeave"); }
    HRESULT OnLButtonDown(std::uint32_t flags, const Vistel::Framework::Point2F* point,
                          bool* captureMouse) override
    {
        const HRESULT status = recorder.Record(instance, "OnLButtonDown", FormatPoint(flags, point));
        if (captureMouse)
        {
            std::lock_guard lock(recorder.mutex);
            *captureMouse = recorder.captureMouse;
        }
        return status;
    }
    HRESULT OnLButtonUp(std::uint32_t flags, const Vistel::Framework::Point2F* point) override
    {
        return recorder.Record(instance, "OnLButtonUp", FormatPoint(flags, point));
    }
    HRESULT OnMouseMove(std::uint32_t flags, const Vistel::Framework::Point2F* point) override
    {
        return recorder.Record(instance, "OnMouseMove", FormatPoint(flags, point));
    }
    HRESULT OnHostStateChanged(std::int32_t code) override
    {
        return recorder.Record(instance, "OnHostStateChanged", std::to_string(code));
    }

private:
    int instance = 0;
};

// Wraps the shared test factory so that creation itself is recorded and can be made to fail.
class RecordingFactory final : public Vistel::Framework::IProcessorFactory
{
public:
    HRESULT QueryInterface(const Norvex::Core::IID&, void** object) override
    {
        if (object)
        {
            *object = nullptr;
        }
        return Norvex::Core::E_NOINTERFACE;
    }
    Norvex::Core::ULONG AddRef() override { return 1; }
    Norvex::Core::ULONG Release() override { return 1; }
    HRESULT GetProcessorCount(std::int32_t* count) override
    {
        *count = static_cast<std::int32_t>(std::size(names));
        return S_OK;
    }
    HRESULT GetProcessorName(std::int32_t index, std::wstring& name) override
    {
        if (index < 0 || index >= static_cast<std::int32_t>(std::size(names)))
        {
            return E_FAIL;
        }
        name = names[index];
        return S_OK;
    }
    HRESULT CreateProcessor(std::int32_t index, Vistel::Framework::IProcessor** processor) override
    {
        *processor = nullptr;
        if (recorder.Fails("CreateProcessor") || index < 0 ||
            index >= static_cast<std::int32_t>(std::size(names)))
        {
            return E_FAIL;
        }
        if (recorder.Fails("NullProcessor"))
        {
            return S_OK;
        }
        if (recorder.Fails("ThrowingCreateProcessor"))
        {
            throw std::runtime_error("thrown by the library");
        }
        auto* created = new RecordingProcessor();
        created->RecordCreation(index);
        *processor = created;
        return S_OK;
    }

private:
    static constexpr const wchar_t* names[] = {L"記録", L"記録 2"};
};

RecordingFactory factoryInstance;

} // namespace

VISTEL_PLUGIN_EXPORT Norvex::Core::HRESULT GetProcessorFactory(Vistel::Framework::IProcessorFactory** factory)
{
    *factory = &factoryInstance;
    return S_OK;
}

VISTEL_PLUGIN_EXPORT void VistelRecorderTakeCalls(std::vector<std::string>* calls)
{
    std::lock_guard lock(recorder.mutex);
    calls->swap(recorder.calls);
    recorder.calls.clear();
}

VISTEL_PLUGIN_EXPORT void VistelRecorderConfigure(const char* failingOperations, bool captureMouse)
{
    recorder.Configure(failingOperations, captureMouse);
}

VISTEL_PLUGIN_EXPORT std::int32_t VistelRecorderGetLiveCount()
{
    std::lock_guard lock(recorder.mutex);
    return recorder.liveCount;
}
