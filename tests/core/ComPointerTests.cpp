#include <Norvex/Core/ComPointer.h>

#include <gtest/gtest.h>

using namespace Norvex::Core;

namespace
{

class Counted final : public IUnknown
{
public:
    explicit Counted(int& destroyed) : destroyed(destroyed) {}
    HRESULT QueryInterface(const IID&, void** object) override
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++count; }
    ULONG Release() override
    {
        const ULONG left = --count;
        if (left == 0)
        {
            ++destroyed;
            delete this;
        }
        return left;
    }
    ULONG count = 1;

private:
    ~Counted() = default;
    int& destroyed;
};

// Like a factory function that hands out a new reference through an out-parameter.
HRESULT CreateCounted(int& destroyed, Counted** out)
{
    *out = new Counted(destroyed);
    return S_OK;
}

} // namespace

TEST(ComPointer, FillsThroughAddressAndReleasesOnDestruction)
{
    int destroyed = 0;
    {
        ComPointer<Counted> pointer;
        EXPECT_TRUE(pointer.IsEmpty());
        ASSERT_EQ(CreateCounted(destroyed, &pointer), S_OK);
        EXPECT_FALSE(pointer.IsEmpty());
        EXPECT_EQ(pointer->count, 1u);
    }
    EXPECT_EQ(destroyed, 1);
}

TEST(ComPointer, AddressOfANonEmptyPointerThrowsAndKeepsTheInterface)
{
    int destroyed = 0;
    ComPointer<Counted> pointer;
    CreateCounted(destroyed, &pointer);
    Counted* held = pointer.Get();
    try
    {
        (void)&pointer;
        FAIL() << "no exception";
    }
    catch (const Exception& exception)
    {
        EXPECT_EQ(exception.GetErrorCode(), E_UNEXPECTED);
        EXPECT_EQ(exception.GetFunctionName(), L"operator &");
        EXPECT_EQ(exception.GetSourceFileName(), L"Norvex/Core/ComPointer.h");
    }
    EXPECT_EQ(pointer.Get(), held);
    EXPECT_EQ(held->count, 1u);
    EXPECT_EQ(destroyed, 0);

    pointer.Release();
    EXPECT_TRUE(pointer.IsEmpty());
    EXPECT_EQ(destroyed, 1);
    EXPECT_NO_THROW(CreateCounted(destroyed, &pointer));
}

TEST(ComPointer, CopiesShareAndMovesTransferTheReference)
{
    int destroyed = 0;
    ComPointer<Counted> first;
    CreateCounted(destroyed, &first);
    {
        ComPointer<Counted> second = first;
        EXPECT_EQ(first->count, 2u);
        ComPointer<Counted> third = std::move(second);
        EXPECT_TRUE(second.IsEmpty());
        EXPECT_EQ(first->count, 2u);
        third = first; // self-sharing assignment keeps the count right
        EXPECT_EQ(first->count, 2u);
    }
    EXPECT_EQ(first->count, 1u);
    first = ComPointer<Counted>();
    EXPECT_EQ(destroyed, 1);
}
