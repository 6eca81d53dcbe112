#pragma once

// Holds one reference to a COM-style object: AddRef on taking, Release on letting go.

#include <utility>

namespace Vistel::Plugins
{

template <class T> class Reference
{
public:
    Reference() = default;
    // Takes a new reference to object.
    explicit Reference(T* object) noexcept : object(object)
    {
        if (object)
        {
            object->AddRef();
        }
    }
    Reference(const Reference& other) noexcept : Reference(other.object) {}
    Reference(Reference&& other) noexcept : object(std::exchange(other.object, nullptr)) {}
    Reference& operator=(Reference other) noexcept
    {
        std::swap(object, other.object);
        return *this;
    }
    ~Reference()
    {
        if (object)
        {
            object->Release();
        }
    }

    // Adopts a reference the caller already owns (an out parameter's).
    static Reference Adopt(T* owned) noexcept
    {
        Reference reference;
        reference.object = owned;
        return reference;
    }

    T* Get() const noexcept { return object; }
    T* operator->() const noexcept { return object; }
    explicit operator bool() const noexcept { return object != nullptr; }

private:
    T* object = nullptr;
};

} // namespace Vistel::Plugins
