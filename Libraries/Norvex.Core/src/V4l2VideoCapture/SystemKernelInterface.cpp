#include <Norvex/Core/V4l2VideoCapture/KernelInterface.h>

#include <fcntl.h>
#include <libudev.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>

namespace Norvex::Core::V4l2VideoCapture
{
namespace
{

// The number of a /dev/videoN node, or -1 for any other name.
long NodeNumber(const std::string& name)
{
    constexpr std::string_view prefix = "video";
    if (!name.starts_with(prefix) || name.size() == prefix.size())
    {
        return -1;
    }
    const auto digits = name.substr(prefix.size());
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    {
        return -1;
    }
    return std::strtol(digits.c_str(), nullptr, 10);
}

// libudev's monitor of the video4linux subsystem. The "udev" source, not the kernel's: its events
// come after udev made the /dev/v4l links and set the permissions a listing relies on.
class UdevNodeEvents final : public KernelInterface::NodeEvents
{
public:
    UdevNodeEvents() : context(udev_new(), udev_unref), monitor(nullptr, udev_monitor_unref)
    {
        if (!context)
        {
            return;
        }
        monitor.reset(udev_monitor_new_from_netlink(context.get(), "udev"));
        if (monitor &&
            (udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "video4linux", nullptr) < 0 ||
             udev_monitor_enable_receiving(monitor.get()) < 0))
        {
            monitor.reset();
        }
    }

    bool IsWatching() const noexcept { return monitor != nullptr; }
    int GetDescriptor() const override { return udev_monitor_get_fd(monitor.get()); }
    void Drain() override
    {
        while (udev_device* device = udev_monitor_receive_device(monitor.get()))
        {
            udev_device_unref(device);
        }
    }

private:
    std::unique_ptr<struct udev, struct udev* (*)(struct udev*)> context;
    std::unique_ptr<udev_monitor, udev_monitor* (*)(udev_monitor*)> monitor;
};

class SystemKernelInterface final : public KernelInterface
{
public:
    int Open(const std::string& path, int flags) override { return ::open(path.c_str(), flags | O_CLOEXEC); }
    int Close(int fd) override { return ::close(fd); }
    int Ioctl(int fd, unsigned long request, void* argument) override
    {
        return ::ioctl(fd, request, argument);
    }
    void* Mmap(std::size_t length, int protection, int flags, int fd, off_t offset) override
    {
        return ::mmap(nullptr, length, protection, flags, fd, offset);
    }
    int Munmap(void* address, std::size_t length) override { return ::munmap(address, length); }
    int Poll(pollfd* fds, nfds_t count, int timeoutMilliseconds) override
    {
        return ::poll(fds, count, timeoutMilliseconds);
    }

    std::vector<std::string> ListNodes() override
    {
        std::vector<std::pair<long, std::string>> found;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/dev", error))
        {
            const auto name = entry.path().filename().string();
            if (const long number = NodeNumber(name); number >= 0)
            {
                found.emplace_back(number, entry.path().string());
            }
        }
        std::sort(found.begin(), found.end());
        std::vector<std::string> nodes;
        for (auto& [number, path] : found)
        {
            nodes.push_back(std::move(path));
        }
        return nodes;
    }

    std::string GetPersistentPath(const std::string& node) override
    {
        std::error_code error;
        const auto target = std::filesystem::canonical(node, error);
        if (error)
        {
            return node;
        }
        for (const char* folder : {"/dev/v4l/by-id", "/dev/v4l/by-path"})
        {
            std::vector<std::string> links;
            for (const auto& entry : std::filesystem::directory_iterator(folder, error))
            {
                std::error_code ignored;
                if (std::filesystem::canonical(entry.path(), ignored) == target && !ignored)
                {
                    links.push_back(entry.path().string());
                }
            }
            if (!links.empty())
            {
                std::sort(links.begin(), links.end());
                return links.front();
            }
        }
        return node;
    }

    std::unique_ptr<NodeEvents> WatchNodes() override
    {
        auto events = std::make_unique<UdevNodeEvents>();
        return events->IsWatching() ? std::move(events) : nullptr;
    }
};

} // namespace

namespace
{
std::atomic<KernelInterface*> replacement{nullptr};
} // namespace

KernelInterface& KernelInterface::System()
{
    static SystemKernelInterface system;
    KernelInterface* installed = replacement.load();
    return installed ? *installed : system;
}

void KernelInterface::ReplaceSystem(KernelInterface* kernel)
{
    replacement = kernel;
}

} // namespace Norvex::Core::V4l2VideoCapture
