#include "HushnoteApp/Platform/XInput2KeySource.h"

#include "HushnoteApp/Platform/KeySourceError.h"
#include "HushnoteApp/Platform/X11ErrorTrap.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <thread>

namespace hushnote {

namespace {

// The reports of one started period; posted work holds it weakly, so nothing reaches the
// monitor after stop().
struct Delivery {
    KeyReports reports;
};

bool isXTestDevice(Display* display, const XIDeviceInfo& device, Atom xtestProperty)
{
    if (xtestProperty != None) {
        Atom type = None;
        int format = 0;
        unsigned long items = 0, remaining = 0;
        unsigned char* data = nullptr;
        if (XIGetProperty(display, device.deviceid, xtestProperty, 0, 1, False, AnyPropertyType, &type, &format,
                &items, &remaining, &data)
                == Success
            && data != nullptr) {
            const bool flagged = items > 0 && format == 8 && data[0] != 0;
            XFree(data);
            if (flagged) {
                return true;
            }
        }
    }
    // Older servers lack the property; their XTEST devices carry it in the name.
    const std::string_view name = device.name != nullptr ? device.name : "";
    return name.ends_with("XTEST keyboard") || name.ends_with("XTEST pointer");
}

} // namespace

struct XInput2KeySource::Listener {
    Display* display = nullptr;
    int opcode = 0;
    int wakePipe[2] = {-1, -1};
    std::thread thread;
    std::shared_ptr<Delivery> delivery;

    // Touched by the reading thread only.
    int keycode = 0;
    Executor mainLoop;
    std::set<int> xtestDevices;
    std::set<int> otherKeysDown;
    bool keyDown = false;

    ~Listener()
    {
        if (thread.joinable()) {
            const char wake = 1;
            [[maybe_unused]] const auto written = ::write(wakePipe[1], &wake, 1);
            thread.join();
        }
        if (display != nullptr) {
            XCloseDisplay(display);
        }
        for (const int fd : wakePipe) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    void refreshXTestDevices()
    {
        xtestDevices.clear();
        const Atom property = XInternAtom(display, "XTEST Device", True);
        int count = 0;
        XIDeviceInfo* devices = XIQueryDevice(display, XIAllDevices, &count);
        for (int i = 0; i < count; ++i) {
            if (isXTestDevice(display, devices[i], property)) {
                xtestDevices.insert(devices[i].deviceid);
            }
        }
        XIFreeDeviceInfo(devices);
    }

    void post(std::function<void(const KeyReports&)> report)
    {
        asio::post(mainLoop, [weak = std::weak_ptr<Delivery>(delivery), report = std::move(report)] {
            if (const auto target = weak.lock()) {
                report(target->reports);
            }
        });
    }

    void handle(const XIRawEvent& event)
    {
        if (xtestDevices.contains(event.sourceid)) {
            return;
        }
        const bool press = event.evtype == XI_RawKeyPress;
        if (event.detail == keycode) {
            // A press while already down is auto-repeat (or a second keyboard): no edge.
            if (press != keyDown) {
                keyDown = press;
                post([press](const KeyReports& reports) {
                    if (reports.dictationKey) {
                        reports.dictationKey(press);
                    }
                });
            }
            return;
        }
        if (!press) {
            otherKeysDown.erase(event.detail);
            return;
        }
        const bool fresh = otherKeysDown.insert(event.detail).second;
        if (fresh && keyDown) {
            post([](const KeyReports& reports) {
                if (reports.otherKeyPressed) {
                    reports.otherKeyPressed();
                }
            });
        }
    }

    void run()
    {
        const int displayFd = ConnectionNumber(display);
        for (;;) {
            while (XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
                XGenericEventCookie* cookie = &event.xcookie;
                if (cookie->type != GenericEvent || cookie->extension != opcode || !XGetEventData(display, cookie)) {
                    continue;
                }
                if (cookie->evtype == XI_HierarchyChanged) {
                    refreshXTestDevices();
                } else if (cookie->evtype == XI_RawKeyPress || cookie->evtype == XI_RawKeyRelease) {
                    handle(*static_cast<XIRawEvent*>(cookie->data));
                }
                XFreeEventData(display, cookie);
            }
            pollfd fds[2] = {{displayFd, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (fds[1].revents != 0 || (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                return;
            }
        }
    }
};

XInput2KeySource::XInput2KeySource(Executor mainLoop, int x11Keycode, std::optional<std::string> displayName)
    : mainLoop_(std::move(mainLoop))
    , keycode_(x11Keycode)
    , displayName_(std::move(displayName))
{
    detail::installNonFatalX11ErrorHandler();
}

XInput2KeySource::~XInput2KeySource()
{
    stop();
}

bool XInput2KeySource::isRunning() const
{
    return listener_ != nullptr;
}

void XInput2KeySource::start(KeyReports reports)
{
    stop();
    if (keycode_ < 8 || keycode_ > 255) {
        throw KeySourceError(KeySourceError::Kind::keyNotVisible);
    }
    auto listener = std::make_unique<Listener>();
    listener->keycode = keycode_;
    listener->mainLoop = mainLoop_;
    listener->display = XOpenDisplay(displayName_ ? displayName_->c_str() : nullptr);
    if (listener->display == nullptr) {
        throw KeySourceError(KeySourceError::Kind::displayUnavailable);
    }
    Display* display = listener->display;
    int event = 0, error = 0;
    int major = 2, minor = 1;
    if (!XQueryExtension(display, "XInputExtension", &listener->opcode, &event, &error)
        || XIQueryVersion(display, &major, &minor) != Success || major < 2 || (major == 2 && minor < 1)) {
        throw KeySourceError(KeySourceError::Kind::inputExtensionMissing);
    }

    unsigned char keyBits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(keyBits, XI_RawKeyPress);
    XISetMask(keyBits, XI_RawKeyRelease);
    unsigned char hierarchyBits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(hierarchyBits, XI_HierarchyChanged);
    // Master devices report every physical key once, with the physical device as source.
    XIEventMask masks[2] = {{XIAllMasterDevices, sizeof keyBits, keyBits},
        {XIAllDevices, sizeof hierarchyBits, hierarchyBits}};
    XISelectEvents(display, DefaultRootWindow(display), masks, 2);
    listener->refreshXTestDevices();
    XSync(display, False);

    if (::pipe2(listener->wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw KeySourceError(KeySourceError::Kind::displayUnavailable);
    }
    listener->delivery = std::make_shared<Delivery>(Delivery{std::move(reports)});
    auto* running = listener.get();
    listener->thread = std::thread([running] { running->run(); });
    listener_ = std::move(listener);
}

void XInput2KeySource::stop()
{
    // Destroying the listener joins its thread; dropping the delivery discards reports still
    // queued on the main loop.
    listener_.reset();
}

} // namespace hushnote
