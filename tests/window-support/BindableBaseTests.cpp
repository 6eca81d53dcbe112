#include <Norvex/Mfc/BindableBase.h>
#include <Norvex/Mfc/PropertyChangedEvent.h>

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using Norvex::Mfc::BindableBase;
using Norvex::Mfc::PropertyChangedEvent;

namespace
{

struct Received
{
    BindableBase* source;
    int property;
    Qt::HANDLE thread;
};

class Listener : public QObject
{
public:
    std::vector<Received> received;

    bool event(QEvent* event) override
    {
        if (event->type() == PropertyChangedEvent::DefaultType())
        {
            const auto* changed = static_cast<PropertyChangedEvent*>(event);
            received.push_back({changed->GetSource(), changed->GetProperty(), QThread::currentThreadId()});
            return true;
        }
        return QObject::event(event);
    }

    std::vector<int> Properties() const
    {
        std::vector<int> properties;
        for (const auto& entry : received)
        {
            properties.push_back(entry.property);
        }
        return properties;
    }
};

// Announces its whole state (here: 100 and 101) to each new listener, like the main model.
class Bindable final : public BindableBase
{
public:
    Bindable() : BindableBase(PropertyChangedEvent::DefaultType()) {}
    void OnListenerAdded(QObject* listener) override
    {
        PostPropertyChanged(listener, 100);
        PostPropertyChanged(listener, 101);
    }
};

class BindableBaseTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "WindowSupportTests";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
        {
            application = std::make_unique<QCoreApplication>(argc, argv);
        }
    }

    // Gone before Qt's own statics are.
    static void TearDownTestSuite() { application.reset(); }

    static void Deliver() { QCoreApplication::processEvents(); }

    static inline std::unique_ptr<QCoreApplication> application;
    Bindable bindable;
};

} // namespace

TEST_F(BindableBaseTest, NewListenerGetsTheStateOnceAndThenEveryChangeInOrder)
{
    Listener listener;
    bindable.AddListener(&listener);
    bindable.AddListener(&listener);
    bindable.NotifyPropertyChanged(3);
    bindable.NotifyPropertyChanged(20);
    bindable.NotifyPropertyChanged(3);
    EXPECT_TRUE(listener.received.empty()) << "posted, not sent";
    Deliver();
    EXPECT_EQ(listener.Properties(), (std::vector<int>{100, 101, 3, 20, 3}));
    EXPECT_EQ(listener.received.front().source, &bindable);
}

TEST_F(BindableBaseTest, RemovedUnknownAndVanishedListenersAreSkipped)
{
    Listener kept;
    Listener never;
    auto vanishing = std::make_unique<Listener>();
    bindable.NotifyPropertyChanged(1); // nobody listens: nothing to post
    bindable.AddListener(vanishing.get());
    bindable.AddListener(&kept);
    bindable.RemoveListener(&never);
    Deliver();
    kept.received.clear();

    vanishing.reset(); // gone without unregistering
    bindable.NotifyPropertyChanged(7);
    bindable.RemoveListener(&kept);
    bindable.NotifyPropertyChanged(8);
    Deliver();
    EXPECT_EQ(kept.Properties(), (std::vector<int>{7}));
    EXPECT_TRUE(never.received.empty());
}

TEST_F(BindableBaseTest, AnnouncementsFromAnotherThreadArriveOnTheListenersThread)
{
    Listener listener;
    bindable.AddListener(&listener);
    Deliver();
    listener.received.clear();
    std::thread capture(
        [this]
        {
            for (int i = 0; i < 50; ++i)
            {
                bindable.NotifyPropertyChanged(i);
            }
        });
    // Registration and removal from this thread meanwhile must be safe.
    Listener other;
    for (int i = 0; i < 50; ++i)
    {
        bindable.AddListener(&other);
        bindable.RemoveListener(&other);
    }
    capture.join();
    Deliver();
    ASSERT_EQ(listener.received.size(), 50u);
    for (int i = 0; i < 50; ++i)
    {
        EXPECT_EQ(listener.received[static_cast<std::size_t>(i)].property, i);
        EXPECT_EQ(listener.received[static_cast<std::size_t>(i)].thread, QThread::currentThreadId());
    }
}

TEST_F(BindableBaseTest, MergedAnnouncementsKeepOneOnItsWayAndNeverMissTheLastChange)
{
    // A listener that reads the value when handling the event, as a window reads a frame.
    std::atomic<int> value = 0;
    std::vector<int> seen;
    class Reader final : public QObject
    {
    public:
        std::function<void()> onChanged;
        bool event(QEvent* event) override
        {
            if (event->type() != PropertyChangedEvent::DefaultType())
            {
                return QObject::event(event);
            }
            onChanged();
            return true;
        }
    } reader;
    reader.onChanged = [&]
    {
        seen.push_back(value.load());
    };
    bindable.AddListener(&reader);
    Deliver();
    seen.clear();

    std::thread capture(
        [&]
        {
            for (int i = 1; i <= 1000; ++i)
            {
                value = i;
                bindable.NotifyPropertyChangedOnce(3);
            }
        });
    capture.join();
    Deliver(); // the one queued event, and the one its hand-over brings
    Deliver();
    ASSERT_FALSE(seen.empty());
    EXPECT_LE(seen.size(), 2u) << "a thousand changes, at most two events";
    EXPECT_EQ(seen.back(), 1000);

    // A change while the event is being handled (after the value was read) is not lost.
    seen.clear();
    bool changeOnce = true;
    reader.onChanged = [&]
    {
        seen.push_back(value.load());
        if (std::exchange(changeOnce, false))
        {
            value = 2000;
            bindable.NotifyPropertyChangedOnce(3);
        }
    };
    bindable.NotifyPropertyChangedOnce(3);
    Deliver();
    Deliver();
    EXPECT_EQ(seen, (std::vector<int>{1000, 2000}));
    bindable.RemoveListener(&reader);
}
