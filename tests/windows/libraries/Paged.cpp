// One processor, "ページ付き", with a settings page of its own that it destroys when finalised, as a
// plug-in may: the side pane must never touch that page again.
#include "TestFactory.h"

#include <QLabel>
#include <QPointer>

namespace
{

class PagedProcessor final : public Vistel::Framework::ProcessorBase
{
public:
    Norvex::Core::HRESULT CreateControlPanel(QWidget* parent, QWidget** window) override
    {
        if (!window)
        {
            return Norvex::Core::E_POINTER;
        }
        if (!page)
        {
            page = new QLabel(QStringLiteral("処理の設定"), parent);
            page->setObjectName(QStringLiteral("processorPage"));
        }
        *window = page;
        return Norvex::Core::S_OK;
    }

    Norvex::Core::HRESULT Finalize() override
    {
        // The page is the processor's; a parent destroyed first has already taken it.
        delete page.data();
        return ProcessorBase::Finalize();
    }

private:
    QPointer<QWidget> page;
};

} // namespace

VISTEL_PLUGIN_EXPORT Norvex::Core::HRESULT GetProcessorFactory(Vistel::Framework::IProcessorFactory** factory)
{
    return VistelTest::CreateTestFactory<PagedProcessor>(factory, {L"ページ付き"});
}
