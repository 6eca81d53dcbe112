#include "SignalWatcher.h"

#include <Norvex/Core/Exception.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace VistelCapture
{
namespace
{

// Written by the signal handler, which may only use async-signal-safe calls.
volatile std::sig_atomic_t receivedSignal = 0;
int signalWriteEnd = -1; // the watcher's write end

extern "C" void OnSignal(int signal)
{
    const int savedErrno = errno;
    receivedSignal = signal;
    const unsigned char number = static_cast<unsigned char>(signal);
    // A full pipe already holds a wake-up; the number is in receivedSignal either way.
    [[maybe_unused]] const ssize_t written = ::write(signalWriteEnd, &number, 1);
    errno = savedErrno;
}

} // namespace

SignalWatcher::SignalWatcher(std::initializer_list<int> watched)
{
    int ends[2] = {-1, -1};
    if (signalWriteEnd >= 0 || ::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
    {
        Norvex::Core::ThrowUnexpected("SignalWatcher", NORVEX_SOURCE_FILE, __LINE__);
    }
    readEnd.Reset(ends[0]);
    writeEnd.Reset(ends[1]);
    receivedSignal = 0;
    notifier = std::make_unique<QSocketNotifier>(readEnd.Get(), QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { OnReadable(); });
    signalWriteEnd = writeEnd.Get();

    for (const int signal : watched)
    {
        struct sigaction current = {};
        ::sigaction(signal, nullptr, &current);
        if (current.sa_handler == SIG_IGN)
        {
            continue;
        }
        struct sigaction action = {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        Installed entry{signal, {}};
        if (::sigaction(signal, &action, &entry.previous) == 0)
        {
            installed.push_back(entry);
        }
    }
}

SignalWatcher::~SignalWatcher()
{
    for (const auto& entry : installed)
    {
        ::sigaction(entry.signal, &entry.previous, nullptr);
    }
    notifier.reset();
    signalWriteEnd = -1;
    // The pipe's ends are closed with their holders.
}

void SignalWatcher::SetHandler(std::function<void(int)> newHandler)
{
    handler = std::move(newHandler);
}

int SignalWatcher::GetReceivedSignal() noexcept
{
    return receivedSignal;
}

void SignalWatcher::OnReadable()
{
    unsigned char numbers[64];
    ssize_t count = 0;
    while ((count = ::read(readEnd.Get(), numbers, sizeof numbers)) > 0)
    {
        if (handler)
        {
            for (ssize_t i = 0; i < count; ++i)
            {
                handler(numbers[i]);
            }
        }
    }
}

} // namespace VistelCapture
