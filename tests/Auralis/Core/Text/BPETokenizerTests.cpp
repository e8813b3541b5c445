#include "Auralis/Core/Text/BPETokenizer.h"
#include "Auralis/Core/Text/TokenizerError.h"
#include "tests/Auralis/Support/ReferenceData.h"

#include <gtest/gtest.h>

namespace auralis {
namespace {

    using Ids = std::vector<std::int64_t>;

    TEST(BPETokenizer, EncodesTheReferenceVectors)
    {
        struct Case {
            const char* text;
            Ids multilingual;
            Ids english;
        };
        const Case cases[] = {
            { " Hello world.", { 2425, 1002, 13 }, { 18435, 995, 13 } },
            { "Hello world.", { 15947, 1002, 13 }, { 15496, 995, 13 } },
            { " And so, my fellow Americans, ask not what your country can do for you.",
                { 400, 370, 11, 452, 7177, 6280, 11, 1029, 406, 437, 428, 1941, 393, 360, 337, 291,
                    13 },
                { 843, 523, 11, 616, 5891, 3399, 11, 1265, 407, 644, 534, 1499, 460, 466, 329, 345,
                    13 } },
            { " It's 3:45 pm, e-mail me at a.b@example.com!",
                { 467, 311, 805, 25, 8465, 23023, 11, 308, 12, 11799, 385, 412, 257, 13, 65, 31,
                    3121, 335, 781, 13, 1112, 0 },
                { 632, 338, 513, 25, 2231, 9114, 11, 304, 12, 4529, 502, 379, 257, 13, 65, 31,
                    20688, 13, 785, 0 } },
            { " naïve café — 東京", { 1667, 15487, 303, 25118, 3466, 220, 18413, 31375 },
                { 41492, 40304, 851, 10545, 251, 109, 12859, 105 } },
            { "  two  spaces\n", { 220, 732, 220, 7673, 198 }, { 220, 734, 220, 9029, 198 } },
            { " scratch that", { 8459, 300 }, { 12692, 326 } },
            { "<|startoftranscript|><|en|><|transcribe|><|notimestamps|> Hi<|endoftext|>",
                { 50258, 50259, 50359, 50363, 2421, 50257 },
                { 50257, 50258, 50358, 50362, 15902, 50256 } },
            { "", {}, {} },
        };
        const auto& multilingual = testing::referenceTokenizer("multilingual");
        const auto& english = testing::referenceTokenizer("english");
        for (const auto& c : cases) {
            SCOPED_TRACE(c.text);
            EXPECT_EQ(multilingual.encode(c.text), c.multilingual);
            EXPECT_EQ(english.encode(c.text), c.english);
            EXPECT_EQ(multilingual.decode(c.multilingual), c.text);
            EXPECT_EQ(english.decode(c.english), c.text);
        }
        EXPECT_EQ(multilingual.vocabularySize(), 51865);
        EXPECT_EQ(english.vocabularySize(), 51864);
    }

    TEST(BPETokenizer, PreTokensFollowTheGpt2Split)
    {
        const auto& tokenizer = testing::referenceTokenizer("multilingual");
        EXPECT_EQ(tokenizer.preTokenize(" It's 3:45 pm, e-mail me at a.b@example.com!"),
            (std::vector<std::string> { " It", "'s", " 3", ":", "45", " pm", ",", " e", "-", "mail",
                " me", " at", " a", ".", "b", "@", "example", ".", "com", "!" }));
        EXPECT_EQ(tokenizer.preTokenize("  two  spaces\n"),
            (std::vector<std::string> { " ", " two", " ", " spaces", "\n" }));
        // U+0085 and U+000B count as white space, as in the reference tokenizers.
        EXPECT_EQ(tokenizer.preTokenize("a\u0085 b\v"),
            (std::vector<std::string> { "a", "\u0085", " b", "\v" }));
        EXPECT_EQ(tokenizer.encode("example"), (Ids { 3121, 335, 781 }));
    }

    TEST(BPETokenizer, TokenTextsAndIdsConvertBothWays)
    {
        const auto& tokenizer = testing::referenceTokenizer("multilingual");
        EXPECT_EQ(tokenizer.convertTokenToId("ĠHello"), 2425);
        EXPECT_EQ(tokenizer.convertTokenToId("Ġ"), 220);
        EXPECT_EQ(tokenizer.convertTokenToId("Ċ"), 198);
        EXPECT_EQ(tokenizer.convertTokenToId("ĠcafÃ©"), 25118);
        EXPECT_EQ(tokenizer.convertTokenToId("<|nospeech|>"), 50362);
        EXPECT_EQ(tokenizer.convertTokenToId("<|0.00|>"), 50364);
        EXPECT_EQ(tokenizer.convertTokenToId("<|30.00|>"), 51864);
        EXPECT_EQ(tokenizer.convertTokenToId("no such token"), std::nullopt);
        EXPECT_EQ(tokenizer.convertIdToToken(2425), "ĠHello");
        EXPECT_EQ(tokenizer.convertIdToToken(50259), "<|en|>");
        EXPECT_EQ(tokenizer.convertIdToToken(51865), std::nullopt);
        EXPECT_EQ(tokenizer.convertIdToToken(-1), std::nullopt);
    }

    TEST(BPETokenizer, DecodesWholeByteSequencesAndReplacesBrokenOnes)
    {
        const auto& tokenizer = testing::referenceTokenizer("multilingual");
        // Token 246 is the lone byte 0x98: it joins no neighbour into valid UTF-8.
        EXPECT_EQ(tokenizer.decode({ 8404, 871, 287, 6, 246, 526, 3210, 20378 }),
            " elle est l'\uFFFDéritoire");
        // "東" is split over tokens 10545 251 109 of the English vocabulary; alone, the pieces are
        // invalid, together they are one character.
        const auto& english = testing::referenceTokenizer("english");
        EXPECT_EQ(english.decode({ 10545, 251, 109 }), " \u6771");
        EXPECT_EQ(english.decode({ 10545, 251 }), " \uFFFD");
        EXPECT_EQ(english.decode({ 251, 109 }), "\uFFFD\uFFFD");
        // Ids outside the vocabulary decode to nothing.
        EXPECT_EQ(tokenizer.decode({ -5, 51865, 1 << 30 }), "");
        EXPECT_EQ(tokenizer.decode({ 2425, 999999, 1002 }), " Hello world");
        // The empty vocabulary entry 50256 of the multilingual file decodes to nothing too.
        EXPECT_EQ(tokenizer.decode({ 50256 }), "");
    }

    TEST(BPETokenizer, RoundTripsArbitraryText)
    {
        const auto& tokenizer = testing::referenceTokenizer("multilingual");
        const std::string texts[] = {
            "Grüße aus Köln, 12.5 % mehr!",
            "Привет, мир. Это тест.",
            "こんにちは、世界。日本語のテキストです。",
            "สวัสดีครับ ภาษาไทย",
            "Tabs\tand\r\nnewlines\n\n  and emoji 🎉👍🏽",
            std::string("bytes \xff\xfe are not text"),
        };
        for (const auto& text : texts) {
            SCOPED_TRACE(text);
            const auto ids = tokenizer.encode(text);
            for (const auto id : ids) {
                ASSERT_LT(id, 50257) << "no special token inside plain text";
            }
            const auto expected
                = text.find('\xff') == std::string::npos ? text : "bytes \uFFFD\uFFFD are not text";
            EXPECT_EQ(tokenizer.decode(ids), expected);
        }
        // A long word stays linear in its length.
        const std::string long_word(20000, 'a');
        EXPECT_EQ(tokenizer.decode(tokenizer.encode(long_word)), long_word);
    }

    TEST(BPETokenizer, SmallTokenizerOfItsOwn)
    {
        // Bytes a, b, c; merges "a b" then "ab c"; one added token; merges as pairs.
        const auto tokenizer = BPETokenizer::fromJson(R"({
        "added_tokens": [{"id": 10, "content": "<|x|>", "special": true}],
        "normalizer": null,
        "pre_tokenizer": {"type": "ByteLevel", "add_prefix_space": false, "use_regex": true},
        "decoder": {"type": "ByteLevel"},
        "model": {"type": "BPE", "vocab": {"a": 0, "b": 1, "c": 2, "ab": 3, "abc": 4, "Ġ": 5},
                  "merges": [["a", "b"], "ab c"]}
    })");
        EXPECT_EQ(tokenizer->encode("abcab"), (Ids { 4, 3 }));
        EXPECT_EQ(tokenizer->encode("ab<|x|>c a"), (Ids { 3, 10, 2, 5, 0 }));
        EXPECT_EQ(tokenizer->decode({ 4, 10, 5, 3 }), "abc<|x|> ab");
        EXPECT_EQ(tokenizer->vocabularySize(), 11);
        EXPECT_EQ(tokenizer->convertIdToToken(7), std::nullopt); // a gap in the ids
        EXPECT_EQ(tokenizer->decode({ 7 }), "");
        // Bytes the vocabulary cannot spell are left out; their neighbours still merge.
        EXPECT_EQ(tokenizer->encode("azb"), (Ids { 3 }));

        const auto prefixed = BPETokenizer::fromJson(R"({
        "pre_tokenizer": {"type": "Sequence", "pretokenizers": [
            {"type": "Split", "pattern": {"Regex": "[0-9]"}, "behavior": "Isolated", "invert": false},
            {"type": "ByteLevel", "add_prefix_space": true, "use_regex": false}]},
        "model": {"type": "BPE", "vocab": {"1": 0, "2": 1, "a": 2, "Ġ": 3, "Ġa": 4}, "merges": ["Ġ a"]}
    })");
        // Every piece the byte-level step sees gets its prefix space.
        EXPECT_EQ(prefixed->preTokenize("a12"), (std::vector<std::string> { " a", " 1", " 2" }));
        EXPECT_EQ(prefixed->encode("a12"), (Ids { 4, 3, 0, 3, 1 }));
        EXPECT_EQ(prefixed->preTokenize(" a"), (std::vector<std::string> { " a" }));
    }

    TEST(BPETokenizer, MalformedOrUnsupportedFilesFailToLoad)
    {
        struct Case {
            const char* name;
            const char* json;
            TokenizerError::Kind kind;
        };
        const Case cases[] = {
            { "not json", "{\"model\": ", TokenizerError::Kind::malformedFile },
            { "top level array", "[1, 2]", TokenizerError::Kind::malformedFile },
            { "no model", R"({"added_tokens": []})", TokenizerError::Kind::malformedFile },
            { "vocab not an object", R"({"model": {"type": "BPE", "vocab": [], "merges": []}})",
                TokenizerError::Kind::malformedFile },
            { "id not an integer",
                R"({"model": {"type": "BPE", "vocab": {"a": "zero"}, "merges": []}})",
                TokenizerError::Kind::malformedFile },
            { "negative id", R"({"model": {"type": "BPE", "vocab": {"a": -1}, "merges": []}})",
                TokenizerError::Kind::malformedFile },
            { "huge id", R"({"model": {"type": "BPE", "vocab": {"a": 4294967296}, "merges": []}})",
                TokenizerError::Kind::malformedFile },
            { "no merges", R"({"model": {"type": "BPE", "vocab": {"a": 0}}})",
                TokenizerError::Kind::malformedFile },
            { "merge outside vocab",
                R"({"model": {"type": "BPE", "vocab": {"a": 0}, "merges": ["a b"]}})",
                TokenizerError::Kind::malformedFile },
            { "merge of one token",
                R"({"model": {"type": "BPE", "vocab": {"a": 0}, "merges": ["a"]}})",
                TokenizerError::Kind::malformedFile },
            { "merge of three",
                R"({"model": {"type": "BPE", "vocab": {"a": 0, "aa": 1}, "merges": [["a", "a", "a"]]}})",
                TokenizerError::Kind::malformedFile },
            { "added token without id",
                R"({"added_tokens": [{"content": "x"}], "model": {"type": "BPE", "vocab": {}, "merges": []}})",
                TokenizerError::Kind::malformedFile },
            { "word piece model", R"({"model": {"type": "WordPiece", "vocab": {}}})",
                TokenizerError::Kind::unsupportedFeature },
            { "normalizer",
                R"({"normalizer": {"type": "NFC"}, "model": {"type": "BPE", "vocab": {}, "merges": []}})",
                TokenizerError::Kind::unsupportedFeature },
            { "metaspace",
                R"({"pre_tokenizer": {"type": "Metaspace"}, "model": {"type": "BPE", "vocab": {}, "merges": []}})",
                TokenizerError::Kind::unsupportedFeature },
            { "bad regex",
                R"({"pre_tokenizer": {"type": "Split", "pattern": {"Regex": "("}, "behavior": "Isolated"}, "model": {"type": "BPE", "vocab": {}, "merges": []}})",
                TokenizerError::Kind::unsupportedFeature },
            { "lstrip token",
                R"({"added_tokens": [{"id": 0, "content": "x", "lstrip": true}], "model": {"type": "BPE", "vocab": {}, "merges": []}})",
                TokenizerError::Kind::unsupportedFeature },
            { "byte fallback",
                R"({"model": {"type": "BPE", "byte_fallback": true, "vocab": {}, "merges": []}})",
                TokenizerError::Kind::unsupportedFeature },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            try {
                BPETokenizer::fromJson(c.json);
                ADD_FAILURE() << "loaded";
            } catch (const TokenizerError& error) {
                EXPECT_EQ(error.kind(), c.kind) << error.description();
                EXPECT_EQ(error.typeName(), "Auralis.TokenizerError");
            }
        }
    }

} // namespace
} // namespace auralis

namespace auralis {
namespace {

    TEST(BPETokenizer, RandomlyDamagedFilesFailCleanly)
    {
        const std::string valid
            = R"({"added_tokens": [{"id": 6, "content": "<|x|>", "special": true, "lstrip": false}],
        "normalizer": null,
        "pre_tokenizer": {"type": "Sequence", "pretokenizers": [
            {"type": "Split", "pattern": {"Regex": "\\d"}, "behavior": "Isolated", "invert": false},
            {"type": "ByteLevel", "add_prefix_space": false, "use_regex": true}]},
        "decoder": {"type": "ByteLevel"},
        "model": {"type": "BPE", "dropout": null, "vocab": {"a": 0, "b": 1, "ab": 2, "Ġ": 3, "1": 4, "Ġa": 5},
                  "merges": ["a b", ["Ġ", "a"]]}})";
        ASSERT_NO_THROW(BPETokenizer::fromJson(valid));
        const std::string alphabet = "{}[]\":,0123456789-ab \\<|>ĠnulltrueRegexBPE";
        std::uint64_t state = 0x9e3779b97f4a7c15ULL;
        auto next = [&] {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            return state;
        };
        int loaded = 0;
        for (int round = 0; round < 2000; ++round) {
            std::string damaged = valid;
            const int edits = 1 + static_cast<int>(next() % 4);
            for (int e = 0; e < edits; ++e) {
                const auto at = next() % damaged.size();
                switch (next() % 3) {
                case 0:
                    damaged[at] = alphabet[next() % alphabet.size()];
                    break;
                case 1:
                    damaged.erase(at, 1 + next() % 8);
                    break;
                default:
                    damaged.insert(at, 1, alphabet[next() % alphabet.size()]);
                    break;
                }
            }
            try {
                const auto tokenizer = BPETokenizer::fromJson(damaged);
                ++loaded;
                const auto ids = tokenizer->encode("ab a1 <|x|>b\xff");
                tokenizer->decode(ids);
                tokenizer->decode({ -1, 0, 1, 2, 3, 4, 5, 6, 7, 1000000 });
            } catch (const TokenizerError&) {
                // the expected outcome for most damage
            }
        }
        // Some damage leaves a loadable file (a changed id, say), so both outcomes were exercised.
        EXPECT_GT(loaded, 0);
        EXPECT_LT(loaded, 2000);
    }

} // namespace
} // namespace auralis
