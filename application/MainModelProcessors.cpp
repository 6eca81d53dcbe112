// The model's image processors: choosing one, calling it under the frame lock, falling back to
// the built-in one when a plug-in fails, and publishing the image it shows.

#include "MainModel.h"

#include "HostServices.h"
#include "ModelSettings.h"
#include "VistelCaptureApp.h"

using Norvex::Core::CriticalSection;

namespace VistelCapture
{

Vistel::Framework::IProcessor* MainModel::GetCurrentProcessor() const
{
    return currentProcessorFailed.load()
               ? nullptr
               : processorEntries.at(static_cast<std::size_t>(processorIndex))->GetProcessor();
}

void MainModel::NotifyProcessor(std::int32_t code)
{
    CriticalSection::AutoLock lock(frameLock);
    CallProcessor("OnHostStateChanged", [code](Vistel::Framework::IProcessor& processor)
                  { return processor.OnHostStateChanged(code); });
}

void MainModel::ResetProcessor()
{
    CriticalSection::AutoLock lock(frameLock);
    CallProcessor("Reset", [](Vistel::Framework::IProcessor& processor) { return processor.Reset(); });
}

void MainModel::ReportProcessorException(const char* function, std::exception_ptr exception)
{
    CallProcessor(function,
                  [&](Vistel::Framework::IProcessor&) -> Norvex::Core::HRESULT
                  { std::rethrow_exception(exception); });
}

void MainModel::ReportProcessorFailure(const ProcessorFailure& failure)
{
    // processorIndex changes only on the user-interface thread under frameLock, which a capture
    // thread reporting from Process holds.
    const bool current =
        &failure.GetEntry() == processorEntries[static_cast<std::size_t>(processorIndex)].get();
    if (current)
    {
        currentProcessorFailed = true;
    }
    {
        CriticalSection::AutoLock lock(failureSection);
        if (pendingFailure)
        {
            return; // one message at a time
        }
        pendingFailure = failure.GetMessage() + (current ? L"処理を「なし」に切り替えました。" : L"");
    }
    NotifyPropertyChanged(MainModelProperty::ProcessorFailed);
}

std::optional<std::wstring> MainModel::RecoverFromProcessorFailure()
{
    if (currentProcessorFailed.load())
    {
        FallBackToBuiltInProcessor();
    }
    CriticalSection::AutoLock lock(failureSection);
    return std::exchange(pendingFailure, std::nullopt);
}

void MainModel::FallBackToBuiltInProcessor()
{
    {
        // The capture path's lock order, as in SelectProcessor.
        const auto frame = GetCurrentDevice().LockFrame();
        CriticalSection::AutoLock lock(frameLock);
        processorEntries[static_cast<std::size_t>(processorIndex)]->Abandon();
        processorIndex = 0;
        currentProcessorFailed = false;
        UpdatePictureDemand();
        processorEntries[0]->Initialize(hostServices.Get());
        PublishProcessorImage();
    }
    // Stored at once: the next start must not meet the same failure, however this run ends.
    ModelSettings::StoreProcessorName(application.GetProfile(), GetProcessorNameToStore());
    NotifyPropertyChanged(MainModelProperty::Processor);
    NotifyPropertyChanged(MainModelProperty::Frame);
}

const std::wstring& MainModel::GetProcessorNameToStore() const
{
    return processorEntries[currentProcessorFailed.load() ? 0 : static_cast<std::size_t>(processorIndex)]
        ->GetName();
}

void MainModel::SelectProcessor(std::int32_t index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= processorEntries.size())
    {
        Norvex::Core::ThrowUnexpected("SelectProcessor", NORVEX_SOURCE_FILE, __LINE__);
    }
    // The capture path's lock order, so the new processor's image can be published at once.
    const auto frame = GetCurrentDevice().LockFrame();
    CriticalSection::AutoLock lock(frameLock);
    if (index == processorIndex)
    {
        return;
    }
    // A processor that fails to end is ended all the same; the choice made stands.
    auto& previous = *processorEntries[static_cast<std::size_t>(processorIndex)];
    std::optional<ProcessorFailure> finalizeFailure;
    try
    {
        previous.Finalize();
    }
    catch (const ProcessorFailure& failure)
    {
        finalizeFailure = failure;
        previous.Abandon();
    }
    processorIndex = index;
    currentProcessorFailed = false;
    UpdatePictureDemand();
    if (finalizeFailure)
    {
        ReportProcessorFailure(*finalizeFailure);
    }
    try
    {
        processorEntries[static_cast<std::size_t>(processorIndex)]->Initialize(hostServices.Get());
    }
    catch (const ProcessorFailure& failure)
    {
        ReportProcessorFailure(failure);
    }
    PublishProcessorImage();
    NotifyPropertyChanged(MainModelProperty::Processor);
    NotifyPropertyChanged(MainModelProperty::Frame);
}

void MainModel::PublishProcessorImage()
{
    // Called with the device's frameSection and frameLock held. Without a preview nobody takes the
    // image, and the command line would pay a whole-frame copy per frame for nothing.
    if (!previewAttached.load())
    {
        return;
    }
    const auto frame = GetCurrentDevice().LockFrame();
    const Image* shown = GetShownImage();
    if (!shown || shown->data == frame->data)
    {
        // The processor shows the frame as it is: the preview reads it from the device.
        shownImage.PublishDeviceFrame(frame->width, frame->height);
        return;
    }
    shownImage.Publish(*shown, frame->width, frame->height);
}

const MainModel::Image* MainModel::GetShownImage()
{
    const Image* shown = nullptr;
    CallProcessor("GetImage",
                  [&](Vistel::Framework::IProcessor& processor)
                  {
                      shown = processor.GetImage();
                      return Norvex::Core::S_OK;
                  });
    return shown;
}

} // namespace VistelCapture
