#include <Norvex/Mfc/PropertyChangedEvent.h>

namespace Norvex::Mfc
{

QEvent::Type PropertyChangedEvent::DefaultType()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

} // namespace Norvex::Mfc
