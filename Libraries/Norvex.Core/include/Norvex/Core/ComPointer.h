#pragma once

#include <Norvex/Core/Exception.h>

#include <utility>

namespace Norvex::Core
{

// Owns one reference to a COM interface. Filling a non-empty pointer through its address raises,
// so a reference can never leak by being overwritten.
template <class T> class ComPointer
{
public:
    ComPointer() noexcept = default;
    ComPointer(std::nullptr_t) noexcept {}
    // Takes a new reference.
    explicit ComPointer(T* object) noexcept : pointer(object)
    {
        if (pointer)
        {
            pointer->AddRef();
        }
    }
    ComPointer(const ComPointer& other) noexcept : ComPointer(other.pointer) {}
    ComPointer(ComPointer&& other) noexcept : pointer(std::exchange(other.pointer, nullptr)) {}
    ~ComPointer() { Release(); }

    ComPointer& operator=(const ComPointer& other) noexcept
    {
        ComPointer copy(other);
        Swap(copy);
        return *this;
    }
    ComPointer& operator=(ComPointer&& other) noexcept
    {
        ComPointer moved(std::move(other));
        Swap(moved);
        return *this;
    }

    // The slot to receive an interface from an out-parameter; it must be empty.
    T** operator&()
    {
        if (pointer)
        {
            ThrowUnexpected("operator &", L"Norvex/Core/ComPointer.h", __LINE__);
        }
        return &pointer;
    }

    // Adopts a reference that the caller already owns.
    void Attach(T* object) noexcept
    {
        Release();
        pointer = object;
    }
    T* Detach() noexcept { return std::exchange(pointer, nullptr); }

    void Release() noexcept
    {
        if (T* old = std::exchange(pointer, nullptr))
        {
            old->Release();
        }
    }

    T* Get() const noexcept { return pointer; }
    T* operator->() const noexcept { return pointer; }
    T& operator*() const noexcept { return *pointer; }
    bool IsEmpty() const noexcept { return pointer == nullptr; }
    explicit operator bool() const noexcept { return pointer != nullptr; }

    void Swap(ComPointer& other) noexcept { std::swap(pointer, other.pointer); }

private:
    T* pointer = nullptr;
};

} // namespace Norvex::Core
