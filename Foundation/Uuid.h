#pragma once

#include <string>

namespace hushnote {

// A fresh random (version 4) UUID in its standard textual form: 36 characters, upper-case
// hexadecimal with hyphens.
std::string makeUuidString();

} // namespace hushnote
