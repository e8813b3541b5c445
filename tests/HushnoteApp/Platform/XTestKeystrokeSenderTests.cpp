#include "HushnoteApp/Platform/XTestKeystrokeSender.h"
#include "HushnoteApp/TextInserterError.h"
#include "tests/Support/XvfbServer.h"

#include <gtest/gtest.h>

// After gtest: Xlib defines None, Bool and Status as macros.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

namespace hushnote {
namespace {

// Raw key events of every device, XTEST included, in the order the server produced them.
class RawKeyRecorder {
public:
    explicit RawKeyRecorder(const std::string& display) : display_(XOpenDisplay(display.c_str()))
    {
        int event = 0, error = 0;
        XQueryExtension(display_, "XInputExtension", &opcode_, &event, &error);
        int major = 2, minor = 1;
        XIQueryVersion(display_, &major, &minor);
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawKeyPress);
        XISetMask(bits, XI_RawKeyRelease);
        XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
        XISelectEvents(display_, DefaultRootWindow(display_), &mask, 1);
        XSync(display_, False);
    }
    ~RawKeyRecorder() { XCloseDisplay(display_); }

    // "+37" for a press of key code 37, "-37" for its release, since the last call.
    std::vector<std::string> take()
    {
        XSync(display_, False);
        std::vector<std::string> keys;
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (event.xcookie.type == GenericEvent && event.xcookie.extension == opcode_
                && XGetEventData(display_, &event.xcookie)) {
                const auto* raw = static_cast<XIRawEvent*>(event.xcookie.data);
                keys.push_back((raw->evtype == XI_RawKeyPress ? "+" : "-") + std::to_string(raw->detail));
                XFreeEventData(display_, &event.xcookie);
            }
        }
        return keys;
    }

    Display* display() const { return display_; }

private:
    Display* display_;
    int opcode_ = 0;
};

// A top-level window with a WM_CLASS and a child that takes the focus, as toolkits do.
Window focusedWindowOfClass(Display* display, const char* instance, const char* klass)
{
    const Window top = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 100, 100, 0, 0, 0);
    XClassHint hint{const_cast<char*>(instance), const_cast<char*>(klass)};
    XSetClassHint(display, top, &hint);
    const Window child = XCreateSimpleWindow(display, top, 0, 0, 50, 50, 0, 0, 0);
    XMapWindow(display, child);
    XMapWindow(display, top);
    XSync(display, False);
    // Mapping is asynchronous to the focus request without a window manager; retry briefly.
    for (int attempt = 0; attempt < 200; ++attempt) {
        XSetInputFocus(display, child, RevertToParent, CurrentTime);
        XSync(display, False);
        Window focus = None;
        int revert = 0;
        XGetInputFocus(display, &focus, &revert);
        if (focus == child) {
            break;
        }
    }
    return top;
}

TEST(XTestKeystrokeSender, PastesWithCtrlVAndWithCtrlShiftVInTerminals)
{
    testing::XvfbServer x;
    RawKeyRecorder keys(x.displayName());
    XTestKeystrokeSender sender(TerminalWindowClasses::fromEnvironment(), x.displayName());
    ASSERT_TRUE(sender.canDeliver());
    // Key codes of the standard US layout Xvfb starts with.
    const std::vector<std::string> ctrlV{"+37", "+55", "-55", "-37"};
    const std::vector<std::string> ctrlShiftV{"+37", "+50", "+55", "-55", "-50", "-37"};

    struct Case {
        const char* instance;
        const char* klass;
        bool terminal;
    };
    const Case cases[] = {
        {"gedit", "Gedit", false},
        {"gnome-terminal-server", "Gnome-terminal", true},
        {"kitty", "kitty", true},
        {"Navigator", "firefox", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.instance);
        const Window window = focusedWindowOfClass(keys.display(), c.instance, c.klass);
        const auto found = sender.focusedWindowClass();
        ASSERT_TRUE(found);
        EXPECT_EQ(found->first, c.instance);
        EXPECT_EQ(found->second, c.klass);
        keys.take();
        sender.sendPaste();
        EXPECT_EQ(keys.take(), c.terminal ? ctrlShiftV : ctrlV);
        XDestroyWindow(keys.display(), window);
        XSync(keys.display(), False);
    }
}

TEST(XTestKeystrokeSender, FollowsTheLiveKeymap)
{
    testing::XvfbServer x;
    RawKeyRecorder keys(x.displayName());
    XTestKeystrokeSender sender(TerminalWindowClasses({}), x.displayName());
    sender.sendPaste();
    EXPECT_EQ(keys.take(), (std::vector<std::string>{"+37", "+55", "-55", "-37"}));

    // Another layout puts v where b was (key code 56) and b on 55.
    KeySym onB[] = {XK_v, XK_V};
    KeySym onV[] = {XK_b, XK_B};
    XChangeKeyboardMapping(keys.display(), 56, 2, onB, 1);
    XChangeKeyboardMapping(keys.display(), 55, 2, onV, 1);
    XSync(keys.display(), False);
    sender.sendPaste();
    EXPECT_EQ(keys.take(), (std::vector<std::string>{"+37", "+56", "-56", "-37"}));
}

TEST(XTestKeystrokeSender, WithoutADisplayNothingCanBeDeliveredAndSendingFails)
{
    XTestKeystrokeSender sender(TerminalWindowClasses({}), std::string(":65000"));
    EXPECT_FALSE(sender.canDeliver());
    EXPECT_NE(sender.explanation().find("X11"), std::string::npos);
    try {
        sender.sendPaste();
        FAIL() << "sent";
    } catch (const TextInserterError& error) {
        EXPECT_EQ(error.kind(), TextInserterError::Kind::eventCreationFailed);
    }
}

} // namespace
} // namespace hushnote
