#pragma once

#include <Norvex/Core/FileDescriptor.h>

#include <QSocketNotifier>

#include <csignal>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

namespace VistelCapture
{

// Turns termination signals (SIGINT from Ctrl+C, SIGTERM from a logout or `kill`) into a call on
// the thread that runs the Qt event loop, so a recording can be finished and its file completed
// before the program exits. The signal handler only writes the signal's number into a pipe; the
// loop reads it and calls the handler. One watcher at a time; the old dispositions come back
// when it is destroyed. A signal the program was started with ignored (a background job of a
// shell) stays ignored.
class SignalWatcher
{
public:
    explicit SignalWatcher(std::initializer_list<int> watched);
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // Called on the event loop's thread with each signal received.
    void SetHandler(std::function<void(int)> handler);
    // The last signal received, 0 before any; valid also when no event loop ran since.
    static int GetReceivedSignal() noexcept;

private:
    void OnReadable();

    struct Installed
    {
        int signal;
        struct sigaction previous;
    };
    std::vector<Installed> installed;
    Norvex::Core::FileDescriptor readEnd;
    Norvex::Core::FileDescriptor writeEnd; // the handler writes to a copy of its number
    std::unique_ptr<QSocketNotifier> notifier;
    std::function<void(int)> handler;
};

} // namespace VistelCapture
