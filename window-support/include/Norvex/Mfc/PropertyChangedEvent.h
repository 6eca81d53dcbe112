#pragma once

#include <QEvent>

namespace Norvex::Mfc
{

class BindableBase;

// Posted to a listener when a property of a bindable object changed. It names the object and the
// property only: the listener reads the current value itself, on its own thread.
class PropertyChangedEvent final : public QEvent
{
public:
    PropertyChangedEvent(QEvent::Type type, BindableBase* source, int property)
        : QEvent(type), source(source), property(property)
    {
    }

    BindableBase* GetSource() const noexcept { return source; }
    int GetProperty() const noexcept { return property; }

    // The event type bindable objects post unless they are given another.
    static QEvent::Type DefaultType();

private:
    BindableBase* source;
    int property;
};

} // namespace Norvex::Mfc
