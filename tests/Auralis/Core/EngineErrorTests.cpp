#include "Auralis/Core/Audio/AudioFileError.h"
#include "Auralis/Core/Constants.h"
#include "Auralis/Core/Text/TokenizerError.h"
#include "Auralis/Utilities/UTF8.h"

#include <gtest/gtest.h>

namespace auralis {
namespace {

    TEST(EngineErrors, CasesReportTypeCodeAndTheirMessage)
    {
        for (std::size_t i = 0; i < kAllAudioFileErrorKinds.size(); ++i) {
            const AudioFileError error(kAllAudioFileErrorKinds[i], "audio " + std::to_string(i));
            EXPECT_EQ(error.code(), static_cast<int>(i));
            EXPECT_EQ(error.typeName(), "Auralis.AudioFileError");
            EXPECT_EQ(error.description(), "audio " + std::to_string(i));
        }
        EXPECT_EQ(kAllAudioFileErrorKinds.size(), 2u);
        for (std::size_t i = 0; i < kAllTokenizerErrorKinds.size(); ++i) {
            const TokenizerError error(kAllTokenizerErrorKinds[i], "tokens " + std::to_string(i));
            EXPECT_EQ(error.code(), static_cast<int>(i));
            EXPECT_EQ(error.typeName(), "Auralis.TokenizerError");
            EXPECT_EQ(error.domain(), "Auralis.TokenizerError");
            EXPECT_STREQ(error.what(), ("tokens " + std::to_string(i)).c_str());
        }
        EXPECT_EQ(kAllTokenizerErrorKinds.size(), 4u);
    }

    TEST(Constants, PunctuationSetsAndFixedValues)
    {
        EXPECT_EQ(Constants::defaultPrependPunctuations.size(), 13u);
        EXPECT_EQ(Constants::defaultAppendPunctuations.size(), 31u);
        EXPECT_EQ(utf8::decodeLossy(Constants::defaultPrependPunctuations).size(), 9u);
        EXPECT_EQ(utf8::decodeLossy(Constants::defaultAppendPunctuations).size(), 17u);
        EXPECT_EQ(Constants::maxTokenContext, 224);
        EXPECT_EQ(Constants::defaultWindowSamples, 480000);
        EXPECT_EQ(Constants::defaultAudioReadFrameSize, 1323000u);
        EXPECT_EQ(Constants::defaultLanguageCode, "en");
    }

    TEST(UTF8, IllFormedSubsequencesBecomeOneReplacementEach)
    {
        struct Case {
            const char* name;
            std::string bytes;
            std::u32string expected;
        };
        const Case cases[] = {
            { "ascii", "abc", U"abc" },
            { "two-byte", "\xc3\xa9", U"\u00e9" },
            { "four-byte", "\xf0\x9f\x8e\x89", U"\U0001F389" },
            { "lone continuation", "a\x80z", U"a\uFFFDz" },
            { "truncated three-byte is one subpart", "\xe6\x9d", U"\uFFFD" },
            { "truncated then ascii", "\xe6\x9dx", U"\uFFFDx" },
            { "overlong", "\xc0\xaf", U"\uFFFD\uFFFD" },
            { "surrogate", "\xed\xa0\x80", U"\uFFFD\uFFFD\uFFFD" },
            { "beyond U+10FFFF", "\xf4\x90\x80\x80", U"\uFFFD\uFFFD\uFFFD\uFFFD" },
            { "invalid lead", "\xff\xfe", U"\uFFFD\uFFFD" },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(utf8::decodeLossy(c.bytes), c.expected);
            EXPECT_EQ(utf8::decodeLossy(utf8::sanitize(c.bytes)), c.expected);
        }
    }

} // namespace
} // namespace auralis
