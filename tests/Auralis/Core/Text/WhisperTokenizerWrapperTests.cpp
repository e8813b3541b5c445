#include "Auralis/Core/Constants.h"
#include "Auralis/Core/Text/BPETokenizer.h"
#include "Auralis/Core/Text/LanguageRecognizer.h"
#include "Auralis/Core/Text/TokenizerError.h"
#include "Auralis/Core/Text/WhisperTokenizerWrapper.h"
#include "Auralis/Utilities/TextUtilities.h"
#include "tests/Auralis/Support/LogCapture.h"
#include "tests/Auralis/Support/ReferenceData.h"
#include "tests/Support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

namespace auralis {
namespace {

    using Ids = std::vector<std::int64_t>;
    using Words = std::vector<std::string>;

    // A tokenizer that answers only the token texts it is given.
    class TableTokenizer final : public Tokenizer {
    public:
        explicit TableTokenizer(std::map<std::string, std::int64_t> table)
            : table_(std::move(table))
        {
        }
        std::vector<std::int64_t> encode(std::string_view) const override { return {}; }
        std::string decode(const std::vector<std::int64_t>&) const override { return {}; }
        std::optional<std::int64_t> convertTokenToId(std::string_view token) const override
        {
            const auto it = table_.find(std::string(token));
            return it == table_.end() ? std::nullopt : std::optional(it->second);
        }
        std::optional<std::string> convertIdToToken(std::int64_t) const override
        {
            return std::nullopt;
        }

    private:
        std::map<std::string, std::int64_t> table_;
    };

    const WhisperTokenizerWrapper* referenceWrapper(const std::string& kind)
    {
        return &testing::referenceWrapper(kind);
    }

    TEST(WhisperTokenizerWrapper, SpecialTokensOfBothVocabularies)
    {
        const auto multilingual = referenceWrapper("multilingual");
        EXPECT_EQ(multilingual->specialTokens(),
            SpecialTokens {}); // the fallbacks are the multilingual ids
        const auto& english = referenceWrapper("english")->specialTokens();
        EXPECT_EQ(english,
            (SpecialTokens { .endToken = 50256,
                .englishToken = 50258,
                .noSpeechToken = 50361,
                .noTimestampsToken = 50362,
                .specialTokenBegin = 50256,
                .startOfPreviousToken = 50360,
                .startOfTranscriptToken = 50257,
                .timeTokenBegin = 50363,
                .transcribeToken = 50358,
                .translateToken = 50357,
                .whitespaceToken = 220 }));
        EXPECT_EQ(
            multilingual->tokenizerFolder(), testing::referenceTokenizerFolder("multilingual"));
    }

    TEST(WhisperTokenizerWrapper, UnknownTextsFallBackAndOldNamesAreFound)
    {
        const WhisperTokenizerWrapper none(
            std::make_unique<TableTokenizer>(std::map<std::string, std::int64_t> {}), std::nullopt);
        EXPECT_EQ(none.specialTokens(),
            (SpecialTokens {
                50257, 50259, 50362, 50363, 50257, 50361, 50258, 50364, 50359, 50358, 220 }));
        EXPECT_TRUE(none.allLanguageTokens().empty());
        EXPECT_FALSE(none.tokenizerFolder().has_value());

        // Older files name the no-speech token "<|nocaptions|>".
        const WhisperTokenizerWrapper old(
            std::make_unique<TableTokenizer>(std::map<std::string, std::int64_t> {
                { "<|endoftext|>", 50256 }, { "<|nocaptions|>", 50361 } }),
            std::nullopt);
        EXPECT_EQ(old.specialTokens().noSpeechToken, 50361);
        EXPECT_EQ(old.specialTokens().endToken, 50256);
    }

    TEST(WhisperTokenizerWrapper, LanguageTokensAreDistinctAndAboveTheSpecialRange)
    {
        EXPECT_EQ(Constants::languages.size(), 112u);
        EXPECT_EQ(Constants::languageCodes.size(), 100u);
        EXPECT_EQ(Constants::languages.at("haitian creole"), "ht");
        EXPECT_EQ(Constants::languages.at("mandarin"), "zh");

        const auto multilingual = referenceWrapper("multilingual");
        const auto& tokens = multilingual->allLanguageTokens();
        EXPECT_EQ(tokens.size(), 99u); // no "<|yue|>" before large-v3
        EXPECT_EQ(*tokens.begin(), 50259);
        EXPECT_EQ(*tokens.rbegin(), 50357);

        // Ids at or below specialTokenBegin are left out; shared codes give one id.
        const WhisperTokenizerWrapper table(
            std::make_unique<TableTokenizer>(
                std::map<std::string, std::int64_t> { { "<|endoftext|>", 100 }, { "<|en|>", 101 },
                    { "<|zh|>", 100 }, { "<|de|>", 7 }, { "<|yue|>", 150 } }),
            std::nullopt);
        EXPECT_EQ(table.allLanguageTokens(), (std::set<std::int64_t> { 101, 150 }));
    }

    TEST(WhisperTokenizerWrapper, EnglishSplitsOnSpacesAndPunctuation)
    {
        const auto tokenizer = referenceWrapper("multilingual");
        struct Case {
            Ids ids;
            Words words;
        };
        const Case cases[] = {
            { tokenizer->encode(" Hello, world."), { " Hello", ",", " world", "." } },
            // " naïve" is three tokens, one word.
            { { 1667, 15487, 303, 25118 }, { " naïve", " café" } },
            // Timestamps and other special tokens stand alone.
            { { 50364, 2425, 1002, 13, 50414 },
                { "<|0.00|>", " Hello", " world", ".", "<|1.00|>" } },
            { {}, {} },
        };
        for (const auto& c : cases) {
            const auto split = tokenizer->splitToWordTokens(c.ids);
            EXPECT_EQ(split.words, c.words);
            Ids joined;
            for (const auto& ids : split.wordTokens) {
                joined.insert(joined.end(), ids.begin(), ids.end());
            }
            EXPECT_EQ(joined, c.ids);
        }
        const auto naive = tokenizer->splitToWordTokens({ 1667, 15487, 303, 25118 });
        EXPECT_EQ(naive.wordTokens, (std::vector<Ids> { { 1667, 15487, 303 }, { 25118 } }));
    }

    TEST(WhisperTokenizerWrapper, UnspacedScriptsSplitIntoDecodableCharacterGroups)
    {
        const auto tokenizer = referenceWrapper("multilingual");
        for (const std::string text : { "こんにちは、世界。今日はいい天気ですね。",
                 "我们今天去公园散步吧", "สวัสดีครับวันนี้อากาศดี" }) {
            SCOPED_TRACE(text);
            const auto ids = tokenizer->encode(text);
            const auto split = tokenizer->splitToWordTokens(ids);
            ASSERT_EQ(split.words.size(), split.wordTokens.size());
            std::string joined;
            for (std::size_t i = 0; i < split.words.size(); ++i) {
                EXPECT_EQ(split.words[i].find("\uFFFD"), std::string::npos) << split.words[i];
                EXPECT_EQ(tokenizer->decode(split.wordTokens[i]), split.words[i]);
                joined += split.words[i];
            }
            EXPECT_EQ(joined, text);
            // Without spaces, splitting on spaces would cut only at punctuation.
            EXPECT_LT(tokenizer->splitTokensOnSpaces(ids).words.size() + 3, split.words.size());
        }
    }

    TEST(WhisperTokenizerWrapper, UndecodableBytesBecomeTheirOwnWord)
    {
        const auto tokenizer = referenceWrapper("multilingual");
        const auto split
            = tokenizer->splitTokensOnUnicode({ 8404, 871, 287, 6, 246, 526, 3210, 20378 });
        EXPECT_EQ(
            split.words, (Words { " elle", " est", " l", "'", "\uFFFD", "é", "rit", "oire" }));
        // "東" is spread over 10545 251 109 in the English vocabulary. Cut after 251, the whole
        // text is " \uFFFD": the first token matches that replacement and becomes a word, while
        // 251 never completes and is dropped (rather than read past the end of the text).
        const auto& english = testing::referenceWrapper("english");
        const auto cut = english.splitTokensOnUnicode({ 10545, 251 });
        EXPECT_EQ(cut.words, (Words { " \uFFFD" }));
        EXPECT_EQ(cut.wordTokens, (std::vector<Ids> { { 10545 } }));
        const auto whole = english.splitTokensOnUnicode({ 10545, 251, 109 });
        EXPECT_EQ(whole.words, (Words { " \u6771" }));
    }

    TEST(LanguageRecognizer, ScriptsWrittenWithoutSpacesNameTheirLanguage)
    {
        struct Case {
            const char* text;
            std::optional<std::string> code;
        };
        const Case cases[] = {
            { "你好世界", "zh" },
            { "こんにちは", "ja" },
            { "日本語のテキスト", "ja" },
            { "カタカナ", "ja" },
            { "สวัสดีครับ", "th" },
            { "ສະບາຍດີ", "lo" },
            { "မင်္ဂလာပါ", "my" },
            { "Hello there", std::nullopt },
            { "안녕하세요", std::nullopt },
            { "Привет", std::nullopt },
            { "Hello 世界 with many more English words", std::nullopt },
            { "12, 34!", std::nullopt },
            { "", std::nullopt },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.text);
            EXPECT_EQ(LanguageRecognizer::dominantLanguage(c.text), c.code);
        }
    }

    TEST(TextUtilities, TrimmingSpecialTokenCharacters)
    {
        EXPECT_EQ(trimmingSpecialTokenCharacters("<|en|>"), "en");
        EXPECT_EQ(trimmingSpecialTokenCharacters("en"), "en");
        EXPECT_EQ(trimmingSpecialTokenCharacters("<|>"), "");
        EXPECT_EQ(trimmingSpecialTokenCharacters("<|a|b|>"), "a|b");
    }

    TEST(TokenizerLoading, VariantNames)
    {
        const std::pair<ModelVariant, const char*> cases[]
            = { { ModelVariant::tiny, "openai/whisper-tiny" },
                  { ModelVariant::tinyEn, "openai/whisper-tiny.en" },
                  { ModelVariant::base, "openai/whisper-base" },
                  { ModelVariant::baseEn, "openai/whisper-base.en" },
                  { ModelVariant::small, "openai/whisper-small" },
                  { ModelVariant::smallEn, "openai/whisper-small.en" },
                  { ModelVariant::medium, "openai/whisper-medium" },
                  { ModelVariant::mediumEn, "openai/whisper-medium.en" },
                  { ModelVariant::large, "openai/whisper-large" },
                  { ModelVariant::largev2, "openai/whisper-large-v2" },
                  { ModelVariant::largev3, "openai/whisper-large-v3" } };
        ASSERT_EQ(std::size(cases), kAllModelVariants.size());
        for (const auto& [variant, name] : cases) {
            EXPECT_EQ(tokenizerNameForVariant(variant), name);
        }
    }

    constexpr const char* kTinyTokenizer
        = R"({"added_tokens": [{"id": 1, "content": "<|endoftext|>", "special": true}],
    "model": {"type": "BPE", "vocab": {"a": 0}, "merges": []}})";

    class TokenizerLoadingTest : public ::testing::Test {
    protected:
        std::filesystem::path folder(const std::string& name, const char* tokenizerJson)
        {
            const auto path = directory_.path() / name;
            std::filesystem::create_directories(path);
            if (tokenizerJson) {
                hushnote::testing::writeFile(path / "tokenizer.json", tokenizerJson);
            }
            return path;
        }

        hushnote::testing::TemporaryDirectory directory_;
        testing::LogCapture log_;
    };

    TEST_F(TokenizerLoadingTest, TheRepositoryFolderComesFirst)
    {
        const auto base = folder("base", kTinyTokenizer);
        const auto repository = folder("base/models/openai/whisper-small", kTinyTokenizer);
        const auto wrapper
            = loadTokenizer(ModelVariant::small, base, { folder("extra", kTinyTokenizer) });
        EXPECT_EQ(wrapper->tokenizerFolder(), repository);
        EXPECT_TRUE(log_.contains(LogLevel::debug,
            "Checking for local tokenizer at " + (repository / "tokenizer.json").string()
                + " - found"));
        EXPECT_TRUE(
            log_.contains(LogLevel::debug, "Found local tokenizer at " + repository.string()));
        EXPECT_TRUE(log_.contains(LogLevel::info, "Loading tokenizer from " + repository.string()));
        EXPECT_EQ(wrapper->specialTokens().endToken, 1);
    }

    TEST_F(TokenizerLoadingTest, ThenTheFolderThenTheExtraPathsInOrder)
    {
        const auto base = folder("base", kTinyTokenizer);
        EXPECT_EQ(loadTokenizer(ModelVariant::tinyEn, base)->tokenizerFolder(), base);
        EXPECT_TRUE(log_.contains(LogLevel::debug,
            "Checking for local tokenizer at "
                + (base / "models/openai/whisper-tiny.en/tokenizer.json").string()
                + " - not found"));

        // Other tokenizer files without tokenizer.json do not count.
        const auto empty = folder("empty", nullptr);
        hushnote::testing::writeFile(empty / "vocab.json", "{}");
        const auto second = folder("second", kTinyTokenizer);
        const auto third = folder("third", kTinyTokenizer);
        EXPECT_EQ(
            loadTokenizer(ModelVariant::base, empty, { folder("none", nullptr), second, third })
                ->tokenizerFolder(),
            second);
    }

    TEST_F(TokenizerLoadingTest, WithoutLocalFilesTheDownloadIsRefused)
    {
        const auto base = folder("base", nullptr);
        try {
            loadTokenizer(ModelVariant::medium, base, { folder("x", nullptr) });
            FAIL() << "loaded";
        } catch (const TokenizerError& error) {
            EXPECT_EQ(error.kind(), TokenizerError::Kind::downloadUnavailable);
            EXPECT_NE(error.description().find("openai/whisper-medium"), std::string::npos);
        }
        EXPECT_TRUE(log_.contains(LogLevel::debug, "No tokenizer found in any local search paths"));
        EXPECT_TRUE(log_.contains(LogLevel::info,
            "Downloading tokenizer from Hub at "
                + (base / "models/openai/whisper-medium").string()));
    }

    TEST_F(TokenizerLoadingTest, ABrokenLocalFileIsLoggedThenTheDownloadIsRefused)
    {
        const auto base = folder("base", "{ not json");
        EXPECT_THROW(loadTokenizer(ModelVariant::small, base), TokenizerError);
        EXPECT_TRUE(log_.containsPrefix(LogLevel::error,
            "Error loading local tokenizer: " + (base / "tokenizer.json").string()));
    }

    TEST_F(TokenizerLoadingTest, TheRealVocabularyLoadsFromAModelFolder)
    {
        const auto wrapper = loadTokenizer(ModelVariant::small, folder("cache", nullptr),
            { testing::referenceTokenizerFolder("multilingual") });
        EXPECT_EQ(wrapper->encode(" Hello world."), (Ids { 2425, 1002, 13 }));
        EXPECT_EQ(wrapper->decode({ 2425, 1002, 13 }), " Hello world.");
        EXPECT_EQ(wrapper->convertTokenToId("<|transcribe|>"), 50359);
        EXPECT_EQ(wrapper->convertIdToToken(50359), "<|transcribe|>");
    }

    TEST(ModelHubClient, LocalRepositoriesLieUnderTheDownloadBase)
    {
        EXPECT_EQ(ModelHubClient::localRepoLocation(
                      "openai/whisper-small", std::filesystem::path("/data")),
            std::filesystem::path("/data/models/openai/whisper-small"));
        const char* saved = std::getenv("HF_HOME");
        const std::string restore = saved ? saved : "";
        setenv("HF_HOME", "/hub", 1);
        EXPECT_EQ(ModelHubClient::localRepoLocation("openai/whisper-tiny", std::nullopt),
            std::filesystem::path("/hub/models/openai/whisper-tiny"));
        unsetenv("HF_HOME");
        setenv("XDG_CACHE_HOME", "/cache", 1);
        EXPECT_EQ(
            ModelHubClient::defaultDownloadBase(), std::filesystem::path("/cache/huggingface"));
        unsetenv("XDG_CACHE_HOME");
        if (saved) {
            setenv("HF_HOME", restore.c_str(), 1);
        }
    }

} // namespace
} // namespace auralis
