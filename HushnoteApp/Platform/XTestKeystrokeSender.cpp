#include "HushnoteApp/Platform/XTestKeystrokeSender.h"

#include "HushnoteApp/Platform/X11ErrorTrap.h"
#include "HushnoteApp/TextInserterError.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cstdlib>
#include <vector>

namespace hushnote {

struct XTestKeystrokeSender::Connection {
    Display* display = nullptr;
    bool hasXTest = false;

    ~Connection()
    {
        if (display != nullptr) {
            XCloseDisplay(display);
        }
    }
};

namespace {

std::optional<KeyCode> keycodeFor(Display* display, KeySym primary, KeySym alternative)
{
    KeyCode code = XKeysymToKeycode(display, primary);
    if (code == 0 && alternative != NoSymbol) {
        code = XKeysymToKeycode(display, alternative);
    }
    if (code == 0) {
        return std::nullopt;
    }
    return code;
}

} // namespace

XTestKeystrokeSender::XTestKeystrokeSender(TerminalWindowClasses terminals, std::optional<std::string> displayName)
    : terminals_(std::move(terminals))
    , displayName_(std::move(displayName))
{
    detail::installNonFatalX11ErrorHandler();
}

XTestKeystrokeSender::~XTestKeystrokeSender() = default;

XTestKeystrokeSender::Connection* XTestKeystrokeSender::connection()
{
    if (connection_) {
        return connection_.get();
    }
    Display* display = XOpenDisplay(displayName_ ? displayName_->c_str() : nullptr);
    if (display == nullptr) {
        return nullptr;
    }
    connection_ = std::make_unique<Connection>();
    connection_->display = display;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    connection_->hasXTest = XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor) == True;
    return connection_.get();
}

bool XTestKeystrokeSender::canDeliver()
{
    const auto* link = connection();
    return link != nullptr && link->hasXTest;
}

std::string XTestKeystrokeSender::explanation()
{
    if (connection() == nullptr) {
        return "Hushnote pastes with a synthetic Ctrl+V through X11, and no X11 display can be opened: "
               "start it inside an X11 session";
    }
    if (!connection_->hasXTest) {
        return "The X server does not offer the XTEST extension Hushnote needs to send Ctrl+V: "
               "enable it in the X server's configuration";
    }
    return "Hushnote can send Ctrl+V";
}

std::optional<std::pair<std::string, std::string>> XTestKeystrokeSender::focusedWindowClass()
{
    auto* link = connection();
    if (link == nullptr) {
        return std::nullopt;
    }
    Display* display = link->display;
    Window window = None;
    int revert = 0;
    XGetInputFocus(display, &window, &revert);
    const Window root = DefaultRootWindow(display);
    // The focus may sit on a child of the application's top-level window, which carries the
    // class; a window that vanished midway simply ends the walk.
    while (window != None && window != PointerRoot && window != root) {
        XClassHint hint{};
        if (XGetClassHint(display, window, &hint) != 0) {
            std::pair<std::string, std::string> names{
                hint.res_name != nullptr ? hint.res_name : "", hint.res_class != nullptr ? hint.res_class : ""};
            XFree(hint.res_name);
            XFree(hint.res_class);
            return names;
        }
        Window rootReturn = None, parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(display, window, &rootReturn, &parent, &children, &count) == 0) {
            break;
        }
        if (children != nullptr) {
            XFree(children);
        }
        window = parent;
    }
    return std::nullopt;
}

void XTestKeystrokeSender::sendPaste()
{
    auto* link = connection();
    if (link == nullptr || !link->hasXTest) {
        throw TextInserterError(TextInserterError::Kind::eventCreationFailed);
    }
    Display* display = link->display;
    // Nothing else reads this connection: handle what queued up, so the queue stays short and
    // core MappingNotify changes reach Xlib's cached keymap (XKB updates it by itself).
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
        }
    }
    const auto control = keycodeFor(display, XK_Control_L, XK_Control_R);
    const auto shift = keycodeFor(display, XK_Shift_L, XK_Shift_R);
    const auto v = keycodeFor(display, XK_v, XK_V);
    if (!control || !v) {
        throw TextInserterError(TextInserterError::Kind::eventCreationFailed);
    }
    const auto windowClass = focusedWindowClass();
    const bool terminal = windowClass && terminals_.isTerminal(windowClass->first, windowClass->second);

    std::vector<KeyCode> modifiers{*control};
    if (terminal && shift) {
        modifiers.push_back(*shift);
    }
    bool sent = true;
    for (const auto modifier : modifiers) {
        sent = sent && XTestFakeKeyEvent(display, modifier, True, CurrentTime) != 0;
    }
    sent = sent && XTestFakeKeyEvent(display, *v, True, CurrentTime) != 0;
    // Every press gets its release, even after a failure, so no key stays down.
    sent = XTestFakeKeyEvent(display, *v, False, CurrentTime) != 0 && sent;
    for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) {
        sent = XTestFakeKeyEvent(display, *it, False, CurrentTime) != 0 && sent;
    }
    // Delivered to the server before we return, so the target reads after insert() is done.
    XSync(display, False);
    if (!sent) {
        throw TextInserterError(TextInserterError::Kind::eventCreationFailed);
    }
}

} // namespace hushnote
