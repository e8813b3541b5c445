#include "HushnoteCore/SpokenCorrectionNormalizer.h"

#include <gtest/gtest.h>

namespace hushnote {
namespace {

TEST(SpokenCorrectionNormalizer, AppliesSpokenCorrectionsAndTidiesSpacing)
{
    const struct {
        const char* input;
        const char* expected;
    } cases[] = {
        {"Let's meet at 1pm. Scratch that. Let's meet at 2pm.", "Let's meet at 2pm."},
        {"Send it Monday, actually scratch that, Tuesday.", "Tuesday."},
        {"First point. Second point! Actually, scratch that. Third point.", "First point. Third point."},
        {"Hello world. Scratch that.", ""},
        {"Call Bob.  Then   call Alice.", "Call Bob. Then call Alice."},
        {"Line one.\n\nLine two.", "Line one.\n\nLine two."},
        {"tabs\t\tand  spaces", "tabs and spaces"},
        {"  \n padded text \t\n", "padded text"},
        {"SCRATCH THAT", ""},
        // "scratchthat" and "scratch thatch" are not the phrase.
        {"scratchthat stays", "scratchthat stays"},
        {"a scratch thatch roof", "a scratch thatch roof"},
        {"Um, so we ship it.", "Um, so we ship it."},
        {"", ""},
        // Unicode white space between the words still makes the phrase.
        {"Keep this. Drop this. Scratch\u00a0that. Final.", "Keep this. Final."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(SpokenCorrectionNormalizer::normalize(c.input), c.expected);
    }
}

} // namespace
} // namespace hushnote
