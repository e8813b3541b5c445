#pragma once

#include <string>

namespace hushnote {

// Applies spoken "scratch that" corrections and tidies spacing before any model sees the
// text. Stateless and pure; logs nothing.
class SpokenCorrectionNormalizer {
public:
    static std::string normalize(const std::string& text);
};

} // namespace hushnote
