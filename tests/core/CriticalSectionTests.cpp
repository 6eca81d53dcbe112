#include <Norvex/Core/CriticalSection.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

using Norvex::Core::CriticalSection;

TEST(CriticalSection, NestedLocksInOneThreadDoNotBlock)
{
    // On a thread of its own, so a lock that is not recursive fails the test instead of hanging
    // it; the section outlives a thread left blocked.
    const auto section = std::make_shared<CriticalSection>();
    std::promise<void> done;
    auto finished = done.get_future();
    std::thread nesting(
        [section, done = std::move(done)]() mutable
        {
            CriticalSection::AutoLock outer(*section);
            CriticalSection::AutoLock inner(*section);
            CriticalSection::AutoLock innermost(*section);
            done.set_value();
        });
    if (finished.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
    {
        nesting.join();
    }
    else
    {
        ADD_FAILURE() << "a thread blocked on a lock it holds";
        nesting.detach();
    }
}

TEST(CriticalSection, ExcludesAnotherThreadUntilTheLastLeave)
{
    CriticalSection section;
    std::atomic<bool> entered{false};
    std::thread other;
    {
        CriticalSection::AutoLock outer(section);
        {
            CriticalSection::AutoLock inner(section);
            other = std::thread(
                [&]
                {
                    CriticalSection::AutoLock lock(section);
                    entered = true;
                });
        }
        // The inner leave must not free the lock while the outer one holds it.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(entered.load());
    }
    other.join();
    EXPECT_TRUE(entered.load());
}

TEST(CriticalSection, GuardsDataAgainstConcurrentWriters)
{
    CriticalSection section;
    long counter = 0;
    auto work = [&]
    {
        for (int i = 0; i < 100000; ++i)
        {
            CriticalSection::AutoLock lock(section);
            CriticalSection::AutoLock again(section);
            ++counter;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 200000);
}
