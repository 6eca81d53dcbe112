#include <Norvex/Mfc/BindableBase.h>
#include <Norvex/Mfc/PropertyChangedEvent.h>

#include <QCoreApplication>

#include <algorithm>

namespace Norvex::Mfc
{

BindableBase::BindableBase(QEvent::Type eventType) : eventType(eventType) {}

void BindableBase::AddListener(QObject* listener)
{
    Norvex::Core::CriticalSection::AutoLock guard(lock);
    if (!listener || std::find(listeners.begin(), listeners.end(), listener) != listeners.end())
    {
        return;
    }
    listeners.emplace_back(listener);
    OnListenerAdded(listener);
}

void BindableBase::RemoveListener(QObject* listener)
{
    Norvex::Core::CriticalSection::AutoLock guard(lock);
    // Entries whose object is gone go too, so the list does not grow with dead windows.
    std::erase_if(listeners, [](const QPointer<QObject>& entry) { return entry.isNull(); });
    if (auto found = std::find(listeners.begin(), listeners.end(), listener); found != listeners.end())
    {
        listeners.erase(found);
    }
}

void BindableBase::NotifyPropertyChanged(int property)
{
    Norvex::Core::CriticalSection::AutoLock guard(lock);
    for (const auto& listener : listeners)
    {
        PostPropertyChanged(listener.data(), property);
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
