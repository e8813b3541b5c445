#pragma once

#include "Auralis/Core/AudioEncoder.h"
#include "Auralis/Core/Audio/AudioProcessor.h"
#include "Auralis/Core/Audio/VoiceActivityDetector.h"
#include "Auralis/Core/FeatureExtractor.h"
#include "Auralis/Core/ModelComputeOptions.h"
#include "Auralis/Core/TextDecoder.h"
#include "Auralis/Core/Text/LogitsFilter.h"
#include "Auralis/Core/Text/SegmentSeeker.h"
#include "Auralis/Utilities/Logging.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace auralis {

// How an Auralis engine is built. Absent components are created with their defaults.
struct AuralisConfig {
    // Model name pattern to fetch from a repository (fetching is not offered here).
    std::optional<std::string> model{};
    // Base folder for downloads; also the tokenizer folder when tokenizerFolder is absent.
    std::optional<std::filesystem::path> downloadBase{};
    std::optional<std::string> modelRepo{};
    std::optional<std::string> modelToken{};
    std::optional<std::string> modelEndpoint{};
    // Local folder holding the three model stages (and, here, the tokenizer files).
    std::optional<std::string> modelFolder{};
    std::optional<std::filesystem::path> tokenizerFolder{};
    std::optional<ModelComputeOptions> computeOptions{};
    // Channel mode for loading files.
    std::optional<AudioInputConfig> audioInputConfig{};
    std::shared_ptr<AudioProcessing> audioProcessor{};
    std::shared_ptr<FeatureExtracting> featureExtractor{};
    std::shared_ptr<AudioEncoding> audioEncoder{};
    std::shared_ptr<TextDecoding> textDecoder{};
    // Replaces the text decoder's extra logits filters.
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters{};
    std::shared_ptr<SegmentSeeking> segmentSeeker{};
    // Used for voice-activity chunking; an energy detector when absent.
    std::shared_ptr<const VoiceActivityDetector> voiceActivityDetector{};
    // Enables engine logging at logLevel.
    bool verbose = false;
    LogLevel logLevel = LogLevel::none;
    std::optional<bool> prewarm{};
    // Load the models at creation; absent means: exactly when a model folder is given.
    std::optional<bool> load{};
    bool download = false;
    bool useBackgroundDownloadSession = false;
};

} // namespace auralis
