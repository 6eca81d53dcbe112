#pragma once

#include <mutex>

namespace Norvex::Core
{

// The one lock type of the system: recursive for the thread that holds it.
class CriticalSection
{
public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    class AutoLock
    {
    public:
        explicit AutoLock(CriticalSection& section) : section(&section) { section.mutex.lock(); }
        AutoLock(const AutoLock&) = delete;
        AutoLock& operator=(const AutoLock&) = delete;
        virtual ~AutoLock() { section->mutex.unlock(); }

    private:
        CriticalSection* section;
    };

private:
    std::recursive_mutex mutex;
};

} // namespace Norvex::Core
