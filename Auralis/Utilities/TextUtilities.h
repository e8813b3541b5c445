#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace auralis {

// Removes every leading and trailing '<', '|' and '>' ("<|en|>" becomes "en").
std::string trimmingSpecialTokenCharacters(std::string_view text);

// Uncompressed over compressed length of the ids' bytes (each id as a little-endian 32-bit
// integer) under zlib's raw DEFLATE at the default level. Positive infinity (logged at debug
// level) when compression fails or an id does not fit in 32 bits. Repetitive token lists
// compress well and give high ratios; 2.4 is the usual fallback threshold.
float compressionRatio(std::span<const std::int64_t> tokens);
// The same over the UTF-8 bytes of `text`; positive infinity for an empty text.
float compressionRatio(std::string_view text);

} // namespace auralis
