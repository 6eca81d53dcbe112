#pragma once

#include <Norvex/Core/CriticalSection.h>

#include <QEvent>
#include <QObject>
#include <QPointer>

#include <memory>
#include <vector>

namespace Norvex::Mfc
{

// Lets windows listen to an object's property changes. A change is announced by posting an event
// to every listener, so announcing from a capture thread never touches a window and never waits
// for one; each listener receives the events in the order they were announced.
class BindableBase
{
public:
    explicit BindableBase(QEvent::Type eventType);
    BindableBase(const BindableBase&) = delete;
    BindableBase& operator=(const BindableBase&) = delete;

    virtual ~BindableBase() = default;
    // Registers a window once; a new one gets OnListenerAdded while the lock is held.
    virtual void AddListener(QObject* listener);
    virtual void RemoveListener(QObject* listener);
    // Safe from any thread.
    virtual void NotifyPropertyChanged(int property);
    // For values a listener reads as they are now (a frame, a pixel): a listener has at most one
    // event of the property on its way. Changes while it is on its way bring one more event after
    // it has been handled, so the queue stays short however fast the changes come and the last
    // change is never missed. Safe from any thread; properties 0 to 63 (others post every time).
    void NotifyPropertyChangedOnce(int property);
    // Skips a listener that is gone.
    virtual void PostPropertyChanged(QObject* listener, int property);
    virtual void OnListenerAdded(QObject* listener) = 0;

    QEvent::Type GetEventType() const noexcept { return eventType; }

private:
    class Pending;
    struct Listener
    {
        QPointer<QObject> object;
        std::shared_ptr<Pending> pending; // shared with the merged events on their way to it
    };

    const QEvent::Type eventType;
    Norvex::Core::CriticalSection lock;
    std::vector<Listener> listeners; // guarded by lock; registration order, no repeats
};

} // namespace Norvex::Mfc
