// Drives a program's windows on an X display the way a user would, for the end-to-end test and
// the screenshot script: finds a window by its title, moves the pointer, presses keys, closes
// windows and saves or inspects what the screen shows.
//
//   x11-driver wait-window TITLE SECONDS       prints the window's id once it is viewable
//   x11-driver geometry WINDOW                 prints "x y width height" in screen coordinates
//   x11-driver frame-geometry WINDOW           the same of the frame a window manager put around it
//   x11-driver wait-window-manager SECONDS     returns once a window manager runs on the display
//   x11-driver move-resize WINDOW X Y W H
//   x11-driver focus WINDOW                    gives the window the keyboard focus
//   x11-driver key KEYSYM                      presses and releases a key ("space", "Return")
//   x11-driver click X Y                       moves the pointer there and clicks the left button
//   x11-driver close WINDOW                    asks the window to close, as a close box does
//   x11-driver screenshot FILE.png [X Y W H]   the whole screen, or that rectangle of it
//   x11-driver count-colour R G B TOLERANCE X Y W H   pixels of that colour in the rectangle
//   x11-driver find-colour R G B TOLERANCE X Y W H    "x y" of its first pixel, row by row
//   x11-driver sample-counter X Y CELL COUNT PERIOD_MS
//       reads the test camera's frame counter (16 cells of CELL pixels from X, Y, lowest bit
//       first, white for a one) COUNT times, PERIOD_MS apart: "monotonic-ns counter" per line
//
// Exit status 0 on success, 1 on failure (a message on stderr), 2 on wrong usage.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <png.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace
{

struct DisplayCloser
{
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPointer = std::unique_ptr<Display, DisplayCloser>;

struct ImageDestroyer
{
    void operator()(XImage* image) const { XDestroyImage(image); }
};
using ImagePointer = std::unique_ptr<XImage, ImageDestroyer>;

struct XFreer
{
    void operator()(void* data) const { XFree(data); }
};

int Fail(const std::string& message)
{
    std::fprintf(stderr, "x11-driver: %s\n", message.c_str());
    return 1;
}

std::string WindowTitle(Display* display, Window window)
{
    const Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, netName, 0, 1024, False, utf8, &type, &format, &count, &remaining,
                           &data) == Success &&
        data)
    {
        std::unique_ptr<unsigned char, XFreer> holder(data);
        return std::string(reinterpret_cast<const char*>(data), count);
    }
    char* name = nullptr;
    if (XFetchName(display, window, &name) && name)
    {
        std::unique_ptr<char, XFreer> holder(name);
        return name;
    }
    return {};
}

std::optional<Window> FindViewable(Display* display, Window parent, const std::string& title)
{
    Window root = 0, parentOfParent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, parent, &root, &parentOfParent, &children, &count))
    {
        return std::nullopt;
    }
    std::unique_ptr<Window, XFreer> holder(children);
    for (unsigned int i = 0; i < count; ++i)
    {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display, children[i], &attributes) && attributes.map_state == IsViewable &&
            WindowTitle(display, children[i]) == title)
        {
            return children[i];
        }
        if (auto found = FindViewable(display, children[i], title))
        {
            return found;
        }
    }
    return std::nullopt;
}

// The window's outermost ancestor below the root: the frame a reparenting window manager made,
// or the window itself.
Window TopLevelOf(Display* display, Window window)
{
    for (;;)
    {
        Window root = 0, parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display, window, &root, &parent, &children, &count))
        {
            return window;
        }
        std::unique_ptr<Window, XFreer> holder(children);
        if (parent == root || parent == 0)
        {
            return window;
        }
        window = parent;
    }
}

int PrintGeometry(Display* display, Window window)
{
    XWindowAttributes attributes;
    int x = 0, y = 0;
    Window child = 0;
    if (!XGetWindowAttributes(display, window, &attributes) ||
        !XTranslateCoordinates(display, window, attributes.root, 0, 0, &x, &y, &child))
    {
        return Fail("no such window");
    }
    std::printf("%d %d %d %d\n", x, y, attributes.width, attributes.height);
    return 0;
}

bool ParseNumber(const char* text, long& value)
{
    char* end = nullptr;
    value = std::strtol(text, &end, 0);
    return end != text && *end == '\0';
}

int SavePng(XImage& image, const char* path)
{
    std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path, "wb"), &std::fclose);
    if (!file)
    {
        return Fail(std::string("cannot write ") + path);
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info)
    {
        png_destroy_write_struct(&png, nullptr);
        return Fail("libpng");
    }
    std::vector<unsigned char> row(static_cast<std::size_t>(image.width) * 3);
    if (setjmp(png_jmpbuf(png)))
    {
        png_destroy_write_struct(&png, &info);
        return Fail("libpng failed");
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < image.height; ++y)
    {
        for (int x = 0; x < image.width; ++x)
        {
            const unsigned long pixel = XGetPixel(&image, x, y);
            row[x * 3] = static_cast<unsigned char>((pixel & image.red_mask) >> 16);
            row[x * 3 + 1] = static_cast<unsigned char>((pixel & image.green_mask) >> 8);
            row[x * 3 + 2] = static_cast<unsigned char>(pixel & image.blue_mask);
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return 0;
}

int Usage()
{
    std::fprintf(stderr, "usage: x11-driver "
                         "wait-window|geometry|frame-geometry|wait-window-manager|move-resize|focus|key|"
                         "click|close|screenshot|"
                         "count-colour ... (see the source's header)\n");
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2)
    {
        return Usage();
    }
    DisplayPointer display(XOpenDisplay(nullptr));
    if (!display)
    {
        return Fail("no X display");
    }
    Display* d = display.get();
    const Window root = DefaultRootWindow(d);
    const std::string command = argv[1];
    std::vector<long> numbers;
    for (int i = 2; i < argc; ++i)
    {
        long value = 0;
        numbers.push_back(ParseNumber(argv[i], value) ? value : -1);
    }

    if (command == "wait-window" && argc == 4)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(numbers[1]);
        while (true)
        {
            if (auto window = FindViewable(d, root, argv[2]))
            {
                std::printf("%lu\n", *window);
                return 0;
            }
            if (std::chrono::steady_clock::now() > deadline)
            {
                return Fail(std::string("no window titled ") + argv[2]);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    if (command == "geometry" && argc == 3)
    {
        return PrintGeometry(d, numbers[0]);
    }
    if (command == "frame-geometry" && argc == 3)
    {
        return PrintGeometry(d, TopLevelOf(d, numbers[0]));
    }
    if (command == "wait-window-manager" && argc == 3)
    {
        // An EWMH window manager announces itself on the root window.
        const Atom check = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(numbers[0]);
        while (true)
        {
            Atom type = None;
            int format = 0;
            unsigned long count = 0, remaining = 0;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(d, root, check, 0, 1, False, XA_WINDOW, &type, &format, &count, &remaining,
                                   &data) == Success &&
                data)
            {
                XFree(data);
                if (count == 1)
                {
                    return 0;
                }
            }
            if (std::chrono::steady_clock::now() > deadline)
            {
                return Fail("no window manager");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    if (command == "move-resize" && argc == 7)
    {
        XMoveResizeWindow(d, numbers[0], numbers[1], numbers[2], numbers[3], numbers[4]);
        XSync(d, False);
        return 0;
    }
    if (command == "focus" && argc == 3)
    {
        XRaiseWindow(d, numbers[0]);
        XSetInputFocus(d, numbers[0], RevertToParent, CurrentTime);
        XSync(d, False);
        return 0;
    }
    if (command == "key" && argc == 3)
    {
        const KeySym symbol = XStringToKeysym(argv[2]);
        const KeyCode code = symbol == NoSymbol ? 0 : XKeysymToKeycode(d, symbol);
        if (code == 0)
        {
            return Fail(std::string("no key ") + argv[2]);
        }
        XTestFakeKeyEvent(d, code, True, CurrentTime);
        XTestFakeKeyEvent(d, code, False, CurrentTime);
        XSync(d, False);
        return 0;
    }
    if (command == "click" && argc == 4)
    {
        XTestFakeMotionEvent(d, -1, numbers[0], numbers[1], CurrentTime);
        XTestFakeButtonEvent(d, 1, True, CurrentTime);
        XTestFakeButtonEvent(d, 1, False, CurrentTime);
        XSync(d, False);
        return 0;
    }
    if (command == "close" && argc == 3)
    {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = numbers[0];
        event.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(d, numbers[0], False, NoEventMask, &event);
        XSync(d, False);
        return 0;
    }
    if (command == "screenshot" && (argc == 3 || argc == 7))
    {
        XWindowAttributes attributes;
        XGetWindowAttributes(d, root, &attributes);
        ImagePointer image(
            argc == 7 ? XGetImage(d, root, numbers[1], numbers[2], numbers[3], numbers[4], AllPlanes, ZPixmap)
                      : XGetImage(d, root, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap));
        return image ? SavePng(*image, argv[2]) : Fail("cannot read the screen");
    }
    if (command == "find-colour" && argc == 10)
    {
        ImagePointer image(
            XGetImage(d, root, numbers[4], numbers[5], numbers[6], numbers[7], AllPlanes, ZPixmap));
        if (!image)
        {
            return Fail("cannot read that part of the screen");
        }
        for (int y = 0; y < image->height; ++y)
        {
            for (int x = 0; x < image->width; ++x)
            {
                const unsigned long pixel = XGetPixel(image.get(), x, y);
                if (std::labs(static_cast<long>((pixel & image->red_mask) >> 16) - numbers[0]) <=
                        numbers[3] &&
                    std::labs(static_cast<long>((pixel & image->green_mask) >> 8) - numbers[1]) <=
                        numbers[3] &&
                    std::labs(static_cast<long>(pixel & image->blue_mask) - numbers[2]) <= numbers[3])
                {
                    std::printf("%ld %ld\n", numbers[4] + x, numbers[5] + y);
                    return 0;
                }
            }
        }
        return Fail("no pixel of that colour");
    }
    if (command == "sample-counter" && argc == 7)
    {
        const long cell = numbers[2];
        for (long sample = 0; sample < numbers[3]; ++sample)
        {
            // One row through the cells' centres, read in one request.
            ImagePointer image(
                XGetImage(d, root, numbers[0], numbers[1] + cell / 2, 16 * cell, 1, AllPlanes, ZPixmap));
            const auto now = std::chrono::steady_clock::now().time_since_epoch();
            if (!image)
            {
                return Fail("cannot read that part of the screen");
            }
            long counter = 0;
            for (int bit = 0; bit < 16; ++bit)
            {
                const unsigned long pixel =
                    XGetPixel(image.get(), static_cast<int>(bit * cell + cell / 2), 0);
                counter |= (((pixel & image->green_mask) >> 8) > 128 ? 1L : 0L) << bit;
            }
            std::printf(
                "%lld %ld\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()),
                counter);
            std::this_thread::sleep_for(std::chrono::milliseconds(numbers[4]));
        }
        return 0;
    }
    if (command == "count-colour" && argc == 10)
    {
        ImagePointer image(
            XGetImage(d, root, numbers[4], numbers[5], numbers[6], numbers[7], AllPlanes, ZPixmap));
        if (!image)
        {
            return Fail("cannot read that part of the screen");
        }
        long count = 0;
        for (int y = 0; y < image->height; ++y)
        {
            for (int x = 0; x < image->width; ++x)
            {
                const unsigned long pixel = XGetPixel(image.get(), x, y);
                const long red = static_cast<long>((pixel & image->red_mask) >> 16);
                const long green = static_cast<long>((pixel & image->green_mask) >> 8);
                const long blue = static_cast<long>(pixel & image->blue_mask);
                if (std::labs(red - numbers[0]) <= numbers[3] &&
                    std::labs(green - numbers[1]) <= numbers[3] && std::labs(blue - numbers[2]) <= numbers[3])
                {
                    ++count;
                }
            }
        }
        std::printf("%ld\n", count);
        return 0;
    }
    return Usage();
}
