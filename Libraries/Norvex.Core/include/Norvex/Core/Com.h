#pragma once

// The COM basics that the plug-in binary interface and the error rules are built on: status
// codes, interface identifiers and IUnknown, with the values and slot order that Windows uses.

#include <cstdint>
#include <cstring>

namespace Norvex::Core
{

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;

struct GUID
{
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);

using IID = GUID;
using CLSID = GUID;

constexpr bool operator==(const GUID& a, const GUID& b) noexcept
{
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
    {
        return false;
    }
    for (int i = 0; i < 8; ++i)
    {
        if (a.Data4[i] != b.Data4[i])
        {
            return false;
        }
    }
    return true;
}

constexpr HRESULT MakeStatus(std::uint32_t bits) noexcept
{
    return static_cast<HRESULT>(bits);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeStatus(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = MakeStatus(0x80004002u);
inline constexpr HRESULT E_POINTER = MakeStatus(0x80004003u);
inline constexpr HRESULT E_ABORT = MakeStatus(0x80004004u);
inline constexpr HRESULT E_FAIL = MakeStatus(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = MakeStatus(0x8000FFFFu);

inline constexpr std::uint32_t FACILITY_WIN32 = 7;

constexpr bool SUCCEEDED(HRESULT status) noexcept
{
    return status >= 0;
}
constexpr bool FAILED(HRESULT status) noexcept
{
    return status < 0;
}

constexpr std::uint32_t HRESULT_FACILITY(HRESULT status) noexcept
{
    return (static_cast<std::uint32_t>(status) >> 16) & 0x1FFFu;
}

constexpr std::uint32_t HRESULT_CODE(HRESULT status) noexcept
{
    return static_cast<std::uint32_t>(status) & 0xFFFFu;
}

// Error numbers (errno on Linux) become status codes of facility 7; zero and negative values pass.
constexpr HRESULT HRESULT_FROM_WIN32(std::int32_t error) noexcept
{
    return error <= 0 ? error
                      : MakeStatus((static_cast<std::uint32_t>(error) & 0xFFFFu) | (FACILITY_WIN32 << 16) |
                                   0x80000000u);
}

// Slot order is part of the binary interface: QueryInterface, AddRef, Release.
class IUnknown
{
public:
    static constexpr IID Iid = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

    virtual HRESULT QueryInterface(const IID& iid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

} // namespace Norvex::Core
