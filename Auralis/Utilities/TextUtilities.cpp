#include "Auralis/Utilities/TextUtilities.h"

#include "Auralis/Core/Constants.h"

namespace auralis {

std::string trimmingSpecialTokenCharacters(std::string_view text)
{
    const auto first = text.find_first_not_of(Constants::specialTokenCharacters);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(Constants::specialTokenCharacters);
    return std::string(text.substr(first, last - first + 1));
}

} // namespace auralis
