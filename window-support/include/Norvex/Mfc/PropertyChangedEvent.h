#pragma once

#include <QEvent>

#include <functional>
#include <utility>

namespace Norvex::Mfc
{

class BindableBase;

// Posted to a listener when a property of a bindable object changed. It names the object and the
// property only: the listener reads the current value itself, on its own thread.
class PropertyChangedEvent final : public QEvent
{
public:
    // onGone runs when the event is destroyed: after it was handled, or dropped with its receiver.
    PropertyChangedEvent(QEvent::Type type, BindableBase* source, int property,
                         std::function<void()> onGone = {})
        : QEvent(type), source(source), property(property), onGone(std::move(onGone))
    {
    }
    PropertyChangedEvent(const PropertyChangedEvent&) = delete;
    PropertyChangedEvent& operator=(const PropertyChangedEvent&) = delete;
    ~PropertyChangedEvent() override
    {
        if (onGone)
        {
            onGone();
        }
    }

    BindableBase* GetSource() const noexcept { return source; }
    int GetProperty() const noexcept { return property; }

    // The event type bindable objects post unless they are given another.
    static QEvent::Type DefaultType();

private:
    BindableBase* source;
    int property;
    std::function<void()> onGone;
};

} // namespace Norvex::Mfc
