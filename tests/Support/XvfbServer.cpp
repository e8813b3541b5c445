#include "tests/Support/XvfbServer.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

#include <stdexcept>
#include <string_view>
#include <thread>

namespace hushnote::testing {

using namespace std::chrono_literals;

struct XvfbServer::Typist {
    Display* display = nullptr;
    XDevice* keyboard = nullptr;

    ~Typist()
    {
        if (keyboard != nullptr) {
            XCloseDevice(display, keyboard);
        }
        if (display != nullptr) {
            XCloseDisplay(display);
        }
    }
};

namespace {

// The server's own slave keyboard: every slave keyboard that is no XTEST device.
XID physicalKeyboard(Display* display)
{
    int count = 0;
    XIDeviceInfo* devices = XIQueryDevice(display, XIAllDevices, &count);
    XID id = 0;
    for (int i = 0; i < count && id == 0; ++i) {
        const std::string_view name = devices[i].name;
        if (devices[i].use == XISlaveKeyboard && name.find("XTEST") == std::string_view::npos) {
            id = static_cast<XID>(devices[i].deviceid);
        }
    }
    XIFreeDeviceInfo(devices);
    return id;
}

bool windowManagerRuns(Display* display)
{
    const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
    Atom type = None;
    int format = 0;
    unsigned long items = 0, remaining = 0;
    unsigned char* data = nullptr;
    const bool found = XGetWindowProperty(display, DefaultRootWindow(display), check, 0, 1, False, XA_WINDOW, &type,
                           &format, &items, &remaining, &data)
            == Success
        && items == 1;
    if (data != nullptr) {
        XFree(data);
    }
    return found;
}

} // namespace

XvfbServer::XvfbServer(bool withWindowManager)
{
    // -displayfd 1: the server picks a free display number and prints it when ready.
    server_ = std::make_unique<TestProcess>(TestProcess::Options{
        {"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24", "-noreset"}, {}, {}, true, false});
    const auto number = server_->readLine(30s);
    if (!number || number->empty()) {
        throw std::runtime_error("Xvfb did not report a display number");
    }
    displayName_ = ":" + *number;

    typist_ = std::make_unique<Typist>();
    typist_->display = XOpenDisplay(displayName_.c_str());
    if (typist_->display == nullptr) {
        throw std::runtime_error("cannot open " + displayName_);
    }
    if (const XID keyboard = physicalKeyboard(typist_->display); keyboard != 0) {
        typist_->keyboard = XOpenDevice(typist_->display, keyboard);
    }
    if (typist_->keyboard == nullptr) {
        throw std::runtime_error("the X server has no keyboard device of its own");
    }

    if (withWindowManager) {
        windowManager_ = std::make_unique<TestProcess>(TestProcess::Options{
            {"openbox", "--sm-disable"}, {{"DISPLAY", displayName_}}, {}, false, false});
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!windowManagerRuns(typist_->display)) {
            if (std::chrono::steady_clock::now() > deadline) {
                throw std::runtime_error("openbox did not start");
            }
            std::this_thread::sleep_for(10ms);
        }
    }
}

XvfbServer::~XvfbServer()
{
    typist_.reset();
    windowManager_.reset();
    server_.reset();
}

void XvfbServer::pressPhysicalKey(int keycode)
{
    XTestFakeDeviceKeyEvent(typist_->display, typist_->keyboard, static_cast<unsigned>(keycode), True, nullptr, 0, 0);
    XSync(typist_->display, False);
}

void XvfbServer::releasePhysicalKey(int keycode)
{
    XTestFakeDeviceKeyEvent(typist_->display, typist_->keyboard, static_cast<unsigned>(keycode), False, nullptr, 0, 0);
    XSync(typist_->display, False);
}

void XvfbServer::sendVirtualKey(int keycode, bool press)
{
    XTestFakeKeyEvent(typist_->display, static_cast<unsigned>(keycode), press ? True : False, CurrentTime);
    XSync(typist_->display, False);
}

} // namespace hushnote::testing
