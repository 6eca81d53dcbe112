// VistelInspection.so: focus peaking, region statistics and exposure warning.
#include "../common/ProcessorFactory.h"
#include "ExposureWarningProcessor.h"
#include "FocusPeakingProcessor.h"
#include "RegionStatisticsProcessor.h"

#include <opencv2/core/utility.hpp>

namespace
{

using namespace Vistel::PictureAids;

constexpr Vistel::Plugins::ProcessorDescription processors[] = {
    {L"フォーカスピーキング", &Vistel::Plugins::CreateProcessor<FocusPeakingProcessor>},
    {L"領域統計", &Vistel::Plugins::CreateProcessor<RegionStatisticsProcessor>},
    {L"露出警告", &Vistel::Plugins::CreateProcessor<ExposureWarningProcessor>},
};

Vistel::Plugins::ProcessorFactory factory(processors);

} // namespace

VISTEL_PLUGIN_EXPORT Norvex::Core::HRESULT GetProcessorFactory(Vistel::Framework::IProcessorFactory** result)
{
    if (!result)
    {
        return Norvex::Core::E_POINTER;
    }
    // Frames are processed on the capture thread within one core's time; a worker pool would
    // take the other core from the window thread.
    cv::setNumThreads(1);
    *result = &factory;
    return Norvex::Core::S_OK;
}
