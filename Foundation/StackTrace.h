#pragma once

#include <string>

namespace hushnote {

// The calling thread's symbolised frames, one per line, joined with single line feeds and
// no trailing line feed. Names resolve for exported symbols (executables link with
// -rdynamic); other frames show as module+offset.
std::string currentStackTrace();

} // namespace hushnote
