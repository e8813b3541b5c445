#include "Auralis/Runtime/ModelError.h"
#include "Auralis/Runtime/StageManifest.h"

#include <gtest/gtest.h>

#include <random>

namespace auralis::runtime {
namespace {

TEST(StageManifest, RoundTripsThroughModelJson)
{
    TextDecoderParameters parameters;
    parameters.alignmentHeads = { { 5, 3 }, { 8, 0 } };
    const auto manifest = makeStageManifest(parameters);
    const auto parsed = parseStageManifest(serializeStageManifest(manifest), "model.json");
    EXPECT_EQ(parsed.stage, "TextDecoder");
    EXPECT_EQ(parsed.description, manifest.description);
    EXPECT_EQ(textDecoderParameters(parsed.parameters, "model.json"), parameters);
    EXPECT_EQ(parsed.description.output("alignment_heads_weights")->multiArrayConstraint->shape,
        (std::vector<std::int64_t> { 1, 1500 }));
    EXPECT_EQ(parsed.description.input("key_cache")->multiArrayConstraint->shape, (std::vector<std::int64_t> { 1, 9216, 1, 224 }));
}

TEST(StageManifest, RefusesMalformedDescriptions)
{
    const std::string valid = serializeStageManifest(makeStageManifest(MelSpectrogramParameters {}));
    struct Case {
        const char* name;
        std::string from;
        std::string to;
        const char* message;
    };
    const Case cases[] = {
        { "other format", "\"auralis-model\"", "\"coreml\"", "\"format\" is not \"auralis-model\"" },
        { "newer version", "\"formatVersion\": 1", "\"formatVersion\": 2", "unsupported formatVersion 2" },
        { "unknown data type", "\"float32\"", "\"float64\"", "unknown dataType \"float64\"" },
        { "zero dimension", "480000", "0", "not a positive integer" },
        { "type that is not a multi-array", "\"multiArray\"", "\"image\"", "is not of type multiArray" },
        { "parameters not an object", "\"parameters\": {", "\"parameters\": [], \"unused\": {", "\"parameters\" is missing" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = valid;
        const auto at = text.find(c.from);
        ASSERT_NE(at, std::string::npos);
        text.replace(at, c.from.size(), c.to);
        try {
            parseStageManifest(text, "stage/model.json");
            ADD_FAILURE() << "accepted";
        } catch (const ModelError& error) {
            EXPECT_EQ(error.description().rfind("stage/model.json: ", 0), 0u) << error.description();
            EXPECT_NE(error.description().find(c.message), std::string::npos) << error.description();
        }
    }
}

// Random edits of valid descriptions of each stage: parsing and parameter checks either
// succeed or throw ModelError, whatever the text.
TEST(StageManifest, SurvivesRandomCorruption)
{
    TextDecoderParameters decoder;
    decoder.alignmentHeads = { { 1, 1 } };
    const std::string texts[] = {
        serializeStageManifest(makeStageManifest(MelSpectrogramParameters {})),
        serializeStageManifest(makeStageManifest(AudioEncoderParameters {})),
        serializeStageManifest(makeStageManifest(decoder)),
    };
    std::mt19937 random(99);
    for (int round = 0; round < 1500; ++round) {
        std::string text = texts[round % 3];
        for (int e = 0; e < 1 + static_cast<int>(random() % 3); ++e) {
            const std::size_t at = random() % text.size();
            switch (random() % 3) {
            case 0: text[at] = "{}[]\",:-0123456789ae \x80"[random() % 23]; break;
            case 1: text.erase(at, 1 + random() % 6); break;
            default: text.insert(at, "-9999999999999");
            }
            if (text.empty()) {
                text = "{";
            }
        }
        try {
            const auto manifest = parseStageManifest(text, "fuzz/model.json");
            if (manifest.stage == kMelSpectrogramStage) {
                describeStage(melSpectrogramParameters(manifest.parameters, "fuzz/model.json"));
            } else if (manifest.stage == kAudioEncoderStage) {
                describeStage(audioEncoderParameters(manifest.parameters, "fuzz/model.json"));
            } else if (manifest.stage == kTextDecoderStage) {
                describeStage(textDecoderParameters(manifest.parameters, "fuzz/model.json"));
            }
        } catch (const ModelError& error) {
            ASSERT_EQ(error.kind(), ModelError::Kind::loadFailed);
        }
    }
}

} // namespace
} // namespace auralis::runtime
