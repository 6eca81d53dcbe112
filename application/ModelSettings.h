#pragma once

#include <Norvex/Core/ProfileFile.h>

#include <string>

namespace VistelCapture
{

class MainModel;

// The model's settings in the INI file's [Settings] section: the device, format and processor
// chosen, the view, marker, pane and saving settings. Runs on the user-interface thread.
class ModelSettings
{
public:
    // The processor the file names, read before the plug-ins are loaded.
    static std::wstring GetProcessorName(const Norvex::Core::ProfileFile& profile);
    // Stores the processor's name alone, at once; false when the write failed.
    static bool StoreProcessorName(Norvex::Core::ProfileFile& profile, const std::wstring& name);
    // Selects and sets what the file holds, through the model's operations so each change is
    // announced; a device, format or processor that is gone falls back to the first one.
    static void Load(MainModel& model, const Norvex::Core::ProfileFile& profile);
    // Writes every setting. The first write that fails ends the saving, so the file never holds
    // a later key without the earlier ones. Never raises: it runs when the window is gone.
    static void Save(const MainModel& model, Norvex::Core::ProfileFile& profile) noexcept;
};

} // namespace VistelCapture
