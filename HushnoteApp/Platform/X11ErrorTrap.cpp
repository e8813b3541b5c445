#include "HushnoteApp/Platform/X11ErrorTrap.h"

#include <X11/Xlib.h>

#include <mutex>

namespace hushnote::detail {

namespace {

int ignoreError(Display*, XErrorEvent*)
{
    return 0;
}

} // namespace

void installNonFatalX11ErrorHandler()
{
    static std::once_flag once;
    std::call_once(once, [] { XSetErrorHandler(ignoreError); });
}

} // namespace hushnote::detail
