#pragma once

#include <Norvex/Core/Exception.h>

#include <string>

namespace VistelCapture
{

class ProcessorEntry;

// A call into a processor that failed: an exception out of the plug-in's code (status E_FAIL) or
// a failure status. The processor's fault, not the program's: the message names the processor,
// its plug-in file and the call, so the user can tell which plug-in to blame.
class ProcessorFailure final : public Norvex::Core::Exception
{
public:
    // call: the processor's function that failed; functionName: the operation it failed, usually
    // the same ("Initialize" for a failed CreateProcessor).
    ProcessorFailure(const ProcessorEntry& entry, const char* call, Norvex::Core::HRESULT status,
                     const std::wstring& reason, const char* functionName, const wchar_t* sourceFileName,
                     int lineNumber);

    // The entry whose processor failed; entries live as long as the model that holds them.
    const ProcessorEntry& GetEntry() const noexcept { return *entry; }

private:
    const ProcessorEntry* entry;
};

} // namespace VistelCapture
