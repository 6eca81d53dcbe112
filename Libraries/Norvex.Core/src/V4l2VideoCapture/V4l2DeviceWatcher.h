#pragma once

#include <Norvex/Core/FileDescriptor.h>
#include <Norvex/Core/V4l2VideoCapture/KernelInterface.h>
#include <Norvex/Core/VideoCapture/DeviceWatcher.h>

#include <memory>
#include <thread>

namespace Norvex::Core::V4l2VideoCapture
{

// Watches the kernel interface's node events on a thread of its own: each batch of events is one
// call of `changed`. A kernel that cannot tell (no udev) gives a watcher that never calls.
class V4l2DeviceWatcher final : public VideoCapture::DeviceWatcher
{
public:
    V4l2DeviceWatcher(KernelInterface& kernel, Changed changed);
    ~V4l2DeviceWatcher() override;

private:
    void Run();

    std::unique_ptr<KernelInterface::NodeEvents> events;
    Changed changed;
    FileDescriptor stopEvent; // signalled by the destructor
    std::thread thread;
};

} // namespace Norvex::Core::V4l2VideoCapture
