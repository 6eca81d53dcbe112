#pragma once

#include <Norvex/Core/CriticalSection.h>

#include <QEvent>
#include <QObject>
#include <QPointer>

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
    // Skips a listener that is gone.
    virtual void PostPropertyChanged(QObject* listener, int property);
    virtual void OnListenerAdded(QObject* listener) = 0;

    QEvent::Type GetEventType() const noexcept { return eventType; }

private:
    const QEvent::Type eventType;
    Norvex::Core::CriticalSection lock;
    std::vector<QPointer<QObject>> listeners; // guarded by lock; registration order, no repeats
};

} // namespace Norvex::Mfc
