#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include <sys/mman.h>

namespace Norvex::Core
{

// Allocator for whole-frame pictures: a block of 2 MiB or more is mapped on its own, 2 MiB-aligned
// and advised for transparent huge pages before anything touches it, so the converter's stores into
// an 8 MB picture are not spread over two thousand small pages; it is unmapped when freed, so no
// freed picture lingers on the heap. Smaller blocks come from std::allocator. Where huge pages are
// off the advice fails and is ignored. Pictures cross the plug-in interface only as const Image*,
// so a block is always freed by the allocator that made it.
template <class T> struct LargePageAllocator
{
    using value_type = T;
    static constexpr std::size_t LargePage = std::size_t(2) << 20;

    LargePageAllocator() noexcept = default;
    template <class U> LargePageAllocator(const LargePageAllocator<U>&) noexcept {}

    T* allocate(std::size_t count)
    {
        if (count > std::allocator_traits<std::allocator<T>>::max_size(std::allocator<T>()))
        {
            throw std::bad_array_new_length();
        }
        const std::size_t bytes = count * sizeof(T);
        if (bytes < LargePage)
        {
            return std::allocator<T>().allocate(count);
        }
        const std::size_t rounded = Rounded(bytes);
        // Mapped with 2 MiB of slack to cut a 2 MiB-aligned block out of it; the rest goes back.
        void* mapped =
            mmap(nullptr, rounded + LargePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED)
        {
            throw std::bad_alloc();
        }
        const auto start = reinterpret_cast<std::uintptr_t>(mapped);
        const std::uintptr_t aligned = (start + LargePage - 1) / LargePage * LargePage;
        if (aligned > start)
        {
            munmap(mapped, aligned - start);
        }
        if (const std::uintptr_t tail = start + LargePage - aligned; tail > 0)
        {
            munmap(reinterpret_cast<void*>(aligned + rounded), tail);
        }
        void* block = reinterpret_cast<void*>(aligned);
        madvise(block, rounded, MADV_HUGEPAGE);
        return static_cast<T*>(block);
    }

    void deallocate(T* block, std::size_t count) noexcept
    {
        if (count * sizeof(T) < LargePage)
        {
            std::allocator<T>().deallocate(block, count);
        }
        else
        {
            munmap(block, Rounded(count * sizeof(T)));
        }
    }

    static std::size_t Rounded(std::size_t bytes) noexcept
    {
        return (bytes + LargePage - 1) / LargePage * LargePage;
    }

    template <class U> bool operator==(const LargePageAllocator<U>&) const noexcept { return true; }
};

} // namespace Norvex::Core
