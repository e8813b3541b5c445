#include "Auralis/Utilities/WhisperError.h"

#include <gtest/gtest.h>

namespace auralis {
namespace {

TEST(WhisperError, EveryCaseReportsItsPositionAndMessage)
{
    for (std::size_t i = 0; i < kAllWhisperErrorKinds.size(); ++i) {
        const auto kind = kAllWhisperErrorKinds[i];
        SCOPED_TRACE(toString(kind));
        const WhisperError error(kind, std::string("message ") + toString(kind));
        EXPECT_EQ(error.code(), static_cast<int>(i));
        EXPECT_EQ(error.description(), std::string("message ") + toString(kind));
        EXPECT_STREQ(error.what(), error.description().c_str());
        EXPECT_EQ(error.typeName(), "Auralis.WhisperError");
        EXPECT_EQ(error.domain(), "Auralis.WhisperError");
    }
    EXPECT_EQ(kAllWhisperErrorKinds.size(), 11u);
    EXPECT_EQ(WhisperError(WhisperError::Kind::initializationError, "x").code(), 10);
}

} // namespace
} // namespace auralis
