// Loads the plug-ins of the folder given on the command line the way the application does and
// checks the one built out of tree: its entry, and a frame through its processor.
#include "TestHostServices.h"

#include "PluginDiscovery.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>

#include <cstdio>
#include <exception>

int main(int argc, char* argv[])
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: ExternalPluginCheck <folder>\n");
        return 2;
    }
    try
    {
        auto entries = VistelCapture::DiscoverProcessorEntries(Norvex::Core::ToWideString(argv[1]) + L"/");
        if (entries.size() != 2 || entries[1]->GetName() != L"グレー")
        {
            std::fprintf(stderr, "expected the entries なし and グレー, found %zu\n", entries.size());
            return 1;
        }
        VistelTest::TestHostServices host;
        host.sourceImage.Resize(2, 1);
        host.sourceImage.At(0, 0) = {0, 0, 255, 255};     // red
        host.sourceImage.At(1, 0) = {255, 255, 255, 255}; // white
        entries[1]->Initialize(&host);
        auto* processor = entries[1]->GetProcessor();
        if (Norvex::Core::FAILED(processor->Process()))
        {
            std::fprintf(stderr, "Process failed\n");
            return 1;
        }
        const auto* image = processor->GetImage();
        if (!image || image->width != 2 || image->height != 1 || image->At(0, 0).green != 76 ||
            image->At(0, 0).blue != 76 || image->At(1, 0).red != 255)
        {
            std::fprintf(stderr, "the processed frame is wrong\n");
            return 1;
        }
        // Without a frame format the output is dropped and the source shows again.
        if (Norvex::Core::FAILED(processor->Reset()) || processor->GetImage() != &host.sourceImage)
        {
            std::fprintf(stderr, "Reset kept the old output\n");
            return 1;
        }
        entries[1]->Finalize();
        if (host.GetReferenceCount() != 1)
        {
            std::fprintf(stderr, "the host's references are unbalanced\n");
            return 1;
        }
        std::printf("loaded and ran the out-of-tree plug-in\n");
        return 0;
    }
    catch (const Norvex::Core::Exception& exception)
    {
        std::fprintf(stderr, "%s\n", Norvex::Core::ToUtf8(exception.GetMessage()).c_str());
    }
    catch (const std::exception& exception)
    {
        std::fprintf(stderr, "%s\n", exception.what());
    }
    return 1;
}
