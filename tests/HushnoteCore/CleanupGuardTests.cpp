#include "HushnoteCore/CleanupGuard.h"
#include "HushnoteCore/CleanupGuardFailure.h"

#include <gtest/gtest.h>

#include <optional>

namespace hushnote {
namespace {

const CleanupGuard kGuard(1.75, 0.35, 0.7);

// The verdict for one pair, or nullopt when accepted.
std::optional<CleanupGuardFailure> verdict(const std::string& raw, const std::string& cleaned)
{
    try {
        kGuard.validate(raw, cleaned);
        return std::nullopt;
    } catch (const CleanupGuardFailure& failure) {
        return failure;
    }
}

std::string repeat(const std::string& unit, int count)
{
    std::string out;
    for (int i = 0; i < count; ++i) {
        out += unit;
    }
    return out;
}

TEST(CleanupGuardFailure, CasesCarryTheirTextsAndCodes)
{
    const struct {
        CleanupGuardFailure failure;
        int code;
        const char* text;
    } cases[] = {
        {CleanupGuardFailure::protectedTokenMissing("10:30"), 0, "Cleanup removed protected token: 10:30"},
        {CleanupGuardFailure::emptyOutput(), 1, "Cleanup returned no text"},
        {CleanupGuardFailure::outputTooLong(), 2, "Cleanup expanded the transcript too much"},
        {CleanupGuardFailure::outputTooShort(), 3, "Cleanup removed too much transcript content"},
        {CleanupGuardFailure::tooManyWordsChanged(), 4, "Cleanup changed too many transcript words"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.failure.code(), c.code);
        EXPECT_EQ(c.failure.description(), c.text);
        EXPECT_EQ(c.failure.typeName(), "HushnoteCore.CleanupGuardFailure");
        EXPECT_EQ(c.failure.domain(), "HushnoteCore.CleanupGuardFailure");
    }
    EXPECT_EQ(CleanupGuardFailure::protectedTokenMissing("a"), CleanupGuardFailure::protectedTokenMissing("a"));
    EXPECT_FALSE(CleanupGuardFailure::protectedTokenMissing("a") == CleanupGuardFailure::protectedTokenMissing("b"));
}

TEST(CleanupGuard, VerdictsFollowTheThresholdsAndCheckOrder)
{
    using Kind = CleanupGuardFailure::Kind;
    // 100 characters with one meaningful word, so only the length checks can decide.
    const std::string hundred = "ok" + repeat(".", 98);
    const struct {
        const char* name;
        std::string raw;
        std::string cleaned;
        std::optional<Kind> expected;
    } cases[] = {
        {"only white space", "hello", " \n \n ", Kind::emptyOutput},
        {"only white space, empty transcript", "", "\n  \n", Kind::emptyOutput},
        {"175 of 100 passes", hundred, "ok" + repeat(".", 173), std::nullopt},
        {"176 of 100 is too long", hundred, "ok" + repeat(".", 174), Kind::outputTooLong},
        {"35 of 100 passes", hundred, "ok" + repeat(".", 33), std::nullopt},
        {"34 of 100 is too short", hundred, "ok" + repeat(".", 32), Kind::outputTooShort},
        {"empty transcript accepts one character", "", "a", std::nullopt},
        {"empty transcript refuses two", "", "ab", Kind::outputTooLong},
        {"too long wins over a dropped number", "meet at 10:30", "Meet at half past ten in the morning.",
            Kind::outputTooLong},
        {"the the cat keeps 2 of 3 words", "the the cat", "The cat.", Kind::tooManyWordsChanged},
        {"the the cat sat keeps 3 of 4", "the the cat sat", "The cat sat.", std::nullopt},
        {"filler-only transcript skips the word check", "um, uh", "Okay.", std::nullopt},
        {"fillers are not counted as lost", "um so we ship it", "So we ship it.", std::nullopt},
        {"10:30 rewritten as 10.30", "meet at 10:30", "Meet at 10.30.", Kind::protectedTokenMissing},
        {"address keeps its trailing comma", "see https://example.com/a, then go",
            "See https://example.com/a, then go.", std::nullopt},
        {"address loses its trailing comma", "see https://example.com/a, then go",
            "See https://example.com/a then go.", Kind::protectedTokenMissing},
        {"code span kept", "run `make all` now", "Run `make all` now.", std::nullopt},
        {"code span lost", "run `make all` now", "Run make all now.", Kind::protectedTokenMissing},
        // A family emoji is 5 code points and 18 bytes but one character: 7 of 5 passes.
        {"emoji count as one character", "ok ok", "ok ok \U0001F468\u200D\U0001F469\u200D\U0001F467", std::nullopt},
        // e + combining acute is one character: 10 of 6 characters passes (14 of 7 code points
        // would not).
        {"combining marks count with their base", "cafe\u0301 x", "cafe\u0301 x e\u0301e\u0301e\u0301",
            std::nullopt},
        {"Cyrillic words are compared lower-cased", "привет мир", "Привет, мир.", std::nullopt},
        {"Cyrillic words replaced", "привет мир", "Hello world.", Kind::tooManyWordsChanged},
        // Full lower-casing turns a final capital sigma into the final form.
        {"Greek final sigma", "οδός", "ΟΔΌΣ.", std::nullopt},
        {"Han characters are words", "東京 大阪 名古屋", "東京, 大阪, 京都.", Kind::tooManyWordsChanged},
        {"Arabic-Indic digits are protected", "room ٣٤ is on floor two now", "Room 34 is on floor two now.",
            Kind::protectedTokenMissing},
        {"NFD output keeps an NFC token", "see https://example.com/caf\u00e9 now",
            "See https://example.com/cafe\u0301 now.", std::nullopt},
        {"NFC output keeps an NFD token", "see https://example.com/cafe\u0301 now",
            "See https://example.com/caf\u00e9 now.", std::nullopt},
        {"a dropped accent loses the token", "see https://example.com/caf\u00e9 now",
            "See https://example.com/cafe now.", Kind::protectedTokenMissing},
        {"tokens are case-sensitive", "edit Config.yaml please", "Edit config.yaml please.",
            Kind::protectedTokenMissing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = verdict(c.raw, c.cleaned);
        ASSERT_EQ(result.has_value(), c.expected.has_value()) << (result ? result->description() : "accepted");
        if (result) {
            EXPECT_EQ(result->kind(), *c.expected) << result->description();
        }
    }
}

TEST(CleanupGuard, AcceptedTextIsTrimmedAndTheFirstMissingTokenInSortedOrderIsNamed)
{
    EXPECT_EQ(kGuard.validate("so we ship it", "\n  So we ship it.\n"), "So we ship it.");
    const auto missing = verdict("meet at 10:30", "Meet at 10.30.");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->description(), "Cleanup removed protected token: 10:30");

    // Both numbers are dropped; "12" sorts before "9".
    const auto first = verdict("please call 9 and then 12 and ok thanks", "please call nine and then twelve and ok thanks");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->token(), "12");
}

TEST(CleanupGuard, ProtectedTokensAreSortedUniqueAndMayOverlap)
{
    const auto tokens = CleanupGuard::protectedTokens(
        "Mail bob.smith@example.org or see https://x.io/a?b=1, at 10:30 on 2024-05-01 and 3,50 "
        "euros; edit config.yaml, run `make all`, at 10:30 again");
    const std::vector<std::string> expected{"1", "10:30", "2024-05-01", "3,50", "`make all`",
        "bob.smith", "bob.smith@example.org", "config.yaml", "example.org", "https://x.io/a?b=1,", "x.io"};
    EXPECT_EQ(tokens, expected);
    EXPECT_TRUE(CleanupGuard::protectedTokens("nothing to keep here").empty());
}

} // namespace
} // namespace hushnote
