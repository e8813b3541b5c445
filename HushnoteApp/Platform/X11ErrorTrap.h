#pragma once

namespace hushnote::detail {

// Xlib's default error handler ends the process on any protocol error, such as a window that
// vanished between two requests. Installs, once per process, a handler that only notes the
// error, so callers check their results instead.
void installNonFatalX11ErrorHandler();

} // namespace hushnote::detail
