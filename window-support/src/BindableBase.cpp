#include <Norvex/Mfc/BindableBase.h>
#include <Norvex/Mfc/PropertyChangedEvent.h>

#include <QCoreApplication>

#include <algorithm>
#include <array>
#include <atomic>

namespace Norvex::Mfc
{

// Per listener, per property: whether a merged event is on its way, and whether the property
// changed again meanwhile. Shared by the listener's entry and its events, so an event that outlives
// the entry (or the bindable object) never reaches freed state.
class BindableBase::Pending
{
public:
    static constexpr int capacity = 64;

    Pending(BindableBase* source, QEvent::Type type, QObject* listener)
        : source(source), type(type), listener(listener)
    {
    }

    // Any thread, under the bindable's lock.
    void Notify(const std::shared_ptr<Pending>& self, int property)
    {
        auto& state = states[static_cast<std::size_t>(property)];
        int current = state.load();
        while (true)
        {
            if (current == idle)
            {
                if (state.compare_exchange_weak(current, queued))
                {
                    Post(self, property);
                    return;
                }
            }
            else if (current == queued)
            {
                if (state.compare_exchange_weak(current, queuedAndChanged))
                {
                    return;
                }
            }
            else
            {
                return;
            }
        }
    }

    // The thread that destroys the event (the listener's, after handling it).
    void Gone(const std::shared_ptr<Pending>& self, int property)
    {
        auto& state = states[static_cast<std::size_t>(property)];
        int current = state.load();
        while (true)
        {
            if (current == queuedAndChanged && !removed.load())
            {
                if (state.compare_exchange_weak(current, queued))
                {
                    Post(self, property);
                    return;
                }
            }
            else if (state.compare_exchange_weak(current, idle))
            {
                return;
            }
        }
    }

    // The listener was unregistered: nothing more is posted to it through this state.
    void Remove() { removed = true; }

private:
    static constexpr int idle = 0;
    static constexpr int queued = 1;
    static constexpr int queuedAndChanged = 2;

    void Post(const std::shared_ptr<Pending>& self, int property)
    {
        QObject* target = listener.data();
        if (!target)
        {
            states[static_cast<std::size_t>(property)] = idle;
            return;
        }
        QCoreApplication::postEvent(target, new PropertyChangedEvent(type, source, property,
                                                                     [self, property]
                                                                     { self->Gone(self, property); }));
    }

    BindableBase* const source; // only carried in events, never used here
    const QEvent::Type type;
    const QPointer<QObject> listener;
    std::atomic<bool> removed = false;
    std::array<std::atomic<int>, capacity> states{};
};

BindableBase::BindableBase(QEvent::Type eventType) : eventType(eventType) {}

void BindableBase::AddListener(QObject* listener)
{
    Norvex::Core::CriticalSection::AutoLock guard(lock);
    if (!listener || std::any_of(listeners.begin(), listeners.end(),
                                 [&](const Listener& entry) { return entry.object == listener; }))
    {
        return;
    }
    listeners.push_back({listener, std::make_shared<Pending>(this, eventType, listener)});
    OnListenerAdded(listener);
}

void BindableBase::RemoveListener(QObject* listener)
{
    Norvex::Core::CriticalSection::AutoLock guard(lock);
    // Entries whose object is gone go too, so the list does not grow with dead windows.
    std::erase_if(listeners,
                  [&](const Listener& entry)
                  {
                      const bool gone = entry.object.isNull() || entry.object == listener;
                      if (gone)
                      {
                          entry.pending->Remove();
                      }
                      return gone;
                  });
}

void BindableBase::NotifyPropertyChanged(int property)
{
    Norvex::Core::CriticalSection::AutoLock guard(lock);
    for (const auto& listener : listeners)
    {
        PostPropertyChanged(listener.object.data(), property);
    }
}

void BindableBase::NotifyPropertyChangedOnce(int property)
{
    if (property < 0 || property >= Pending::capacity)
    {
        NotifyPropertyChanged(property);
        return;
    }
    Norvex::Core::CriticalSection::AutoLock guard(lock);
    for (const auto& listener : listeners)
    {
        listener.pending->Notify(listener.pending, property);
    }
}

void BindableBase::PostPropertyChanged(QObject* listener, int property)
{
    if (listener)
    {
        // Qt's event queue takes ownership of the event.
        QCoreApplication::postEvent(listener, new PropertyChangedEvent(eventType, this, property));
    }
}

} // namespace Norvex::Mfc
