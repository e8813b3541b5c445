#pragma once

#include <string>
#include <string_view>

namespace auralis {

// Removes every leading and trailing '<', '|' and '>' ("<|en|>" becomes "en").
std::string trimmingSpecialTokenCharacters(std::string_view text);

} // namespace auralis
