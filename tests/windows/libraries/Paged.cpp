// One processor, "ページ付き", with a settings page of its own that it destroys when finalised, as a
// plug-in may: the side pane must never touch that page again. A second, "壊れたページ", has a page
// whose paint throws an exception of the library's own.
#include "TestFactory.h"

#include <QLabel>
#include <QPointer>

#include <stdexcept>

namespace
{

class BrokenPage final : public QLabel
{
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent*) override { throw std::runtime_error("the page cannot paint"); }
};

class PagedProcessor final : public Vistel::Framework::ProcessorBase
{
public:
    explicit PagedProcessor(std::int32_t index) : broken(index == 1) {}

    Norvex::Core::HRESULT CreateControlPanel(QWidget* parent, QWidget** window) override
    {
        if (!window)
        {
            return Norvex::Core::E_POINTER;
        }
        if (!page)
        {
            page = broken ? new BrokenPage(QStringLiteral("処理の設定"), parent)
                          : new QLabel(QStringLiteral("処理の設定"), parent);
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
    bool broken;
    QPointer<QWidget> page;
};

} // namespace

VISTEL_PLUGIN_EXPORT Norvex::Core::HRESULT GetProcessorFactory(Vistel::Framework::IProcessorFactory** factory)
{
    return VistelTest::CreateTestFactory<PagedProcessor>(factory, {L"ページ付き", L"壊れたページ"});
}
