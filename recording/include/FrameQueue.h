#pragma once

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace VistelCapture
{

// Hands frames from a capture thread to a worker thread of its own, which does the slow part
// (encoding, writing to disk) in arrival order. Push fills an item of a bounded pool (a copy of
// the frame, or the frame already converted to what the worker needs) and returns; while every
// item waits for the worker, Push waits too, so a frame is never dropped and memory stays
// bounded. Items are allocated when the queue first grows that deep and reused afterwards, their
// buffers with them (the most recently freed first, so a queue that keeps up touches two).
//
// What the consumer raises on the worker is kept and raised again by the next Push (which then
// queues nothing), by RaiseFailure or by Finish; later failures before that report are dropped.
//
// Locking: the queue's own mutex guards every field marked below and is always the innermost lock;
// the filling and the consumer run without it. Push and Finish may be called with the caller's
// locks held: the worker takes no lock of the caller's.
template <class Item> class FrameQueue
{
public:
    // Runs on the worker for each item, in the order pushed; it may take what the item holds.
    using Consumer = std::function<void(Item& item)>;

    static constexpr std::size_t MemoryLimit = std::size_t(256) << 20;

    // About one second of BGRA frames, but no more than MemoryLimit bytes of them, and at least one.
    static std::size_t CapacityFor(std::int32_t width, std::int32_t height, double frameRate)
    {
        const std::size_t frameBytes =
            std::max<std::size_t>(1, std::size_t(std::max(width, 1)) * std::size_t(std::max(height, 1)) * 4);
        const double perSecond = std::isfinite(frameRate) && frameRate > 0 ? std::ceil(frameRate) : 30;
        const std::size_t second = static_cast<std::size_t>(std::min(perSecond, 1000.0));
        return std::max<std::size_t>(1, std::min(second, MemoryLimit / frameBytes));
    }

    FrameQueue(std::size_t capacity, Consumer consumer)
        : capacity(std::max<std::size_t>(1, capacity)), consumer(std::move(consumer)),
          worker([this] { Run(); })
    {
    }
    FrameQueue(const FrameQueue&) = delete;
    FrameQueue& operator=(const FrameQueue&) = delete;
    // Consumes what is still queued, then stops the worker. A failure left unreported is dropped:
    // call Finish first to hear of it.
    ~FrameQueue()
    {
        {
            std::lock_guard guard(mutex);
            stopping = true;
        }
        changed.notify_all();
        worker.join();
    }

    // Calls fill(item) on a free item (holding what an earlier frame left in it), then queues it.
    // If fill raises, nothing is queued.
    template <class Fill> void Push(Fill&& fill)
    {
        std::unique_ptr<Item> item;
        {
            std::unique_lock guard(mutex);
            RaiseFailureLocked();
            changed.wait(guard, [&] { return !free.empty() || allocated < capacity; });
            if (!free.empty())
            {
                item = std::move(free.back());
                free.pop_back();
            }
            else
            {
                item = std::make_unique<Item>();
                ++allocated;
            }
        }
        // The item is ours alone until it is queued, so it is filled without the lock.
        try
        {
            fill(*item);
        }
        catch (...)
        {
            {
                std::lock_guard guard(mutex);
                free.push_back(std::move(item));
            }
            changed.notify_all();
            throw;
        }
        {
            std::lock_guard guard(mutex);
            waiting.push_back(std::move(item));
            peakQueued = std::max(peakQueued, waiting.size() + (busy ? 1 : 0));
        }
        changed.notify_all();
    }

    // Waits until every item pushed so far is consumed, then raises what the consumer raised.
    void Finish()
    {
        std::unique_lock guard(mutex);
        changed.wait(guard, [&] { return waiting.empty() && !busy; });
        RaiseFailureLocked();
    }

    // Raises what the consumer raised and nobody was told of yet, without waiting.
    void RaiseFailure()
    {
        std::lock_guard guard(mutex);
        RaiseFailureLocked();
    }

    std::size_t GetCapacity() const noexcept { return capacity; }
    // The most frames ever held at once (queued or being consumed).
    std::size_t GetPeakQueued()
    {
        std::lock_guard guard(mutex);
        return peakQueued;
    }

private:
    // Called with the mutex held.
    void RaiseFailureLocked()
    {
        if (failure)
        {
            std::rethrow_exception(std::exchange(failure, nullptr));
        }
    }

    void Run()
    {
        for (;;)
        {
            std::unique_ptr<Item> item;
            {
                std::unique_lock guard(mutex);
                changed.wait(guard, [&] { return !waiting.empty() || stopping; });
                if (waiting.empty())
                {
                    return;
                }
                item = std::move(waiting.front());
                waiting.pop_front();
                busy = true;
            }
            std::exception_ptr raised;
            try
            {
                consumer(*item);
            }
            catch (...)
            {
                raised = std::current_exception();
            }
            {
                std::lock_guard guard(mutex);
                if (raised && !failure)
                {
                    failure = raised;
                }
                free.push_back(std::move(item));
                busy = false;
            }
            changed.notify_all();
        }
    }

    const std::size_t capacity;
    const Consumer consumer; // called on the worker only

    std::mutex mutex;
    std::condition_variable changed;           // any field below changed
    std::deque<std::unique_ptr<Item>> waiting; // guarded by mutex; oldest first
    std::vector<std::unique_ptr<Item>> free;   // guarded by mutex
    std::size_t allocated = 0;                 // guarded by mutex; never above capacity
    std::size_t peakQueued = 0;                // guarded by mutex
    bool busy = false;                         // guarded by mutex; the worker holds an item
    bool stopping = false;                     // guarded by mutex
    std::exception_ptr failure;                // guarded by mutex; unreported
    std::thread worker;                        // last: starts once the fields above exist
};

} // namespace VistelCapture
