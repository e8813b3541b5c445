#include "Auralis/Core/TranscribeTask.h"

#include "Auralis/Core/Constants.h"
#include "Auralis/Core/Text/TokenSampler.h"
#include "Auralis/Core/WhisperMLModel.h"
#include "Auralis/Utilities/Logging.h"
#include "Auralis/Utilities/WhisperError.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <sstream>

namespace auralis {

namespace {

using SteadyClock = std::chrono::steady_clock;

double secondsSince(SteadyClock::time_point start)
{
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

std::string seconds2(double value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f", value);
    return buffer;
}

std::string tokenTexts(const WhisperTokenizer& tokenizer, const std::vector<std::int64_t>& tokens)
{
    std::string text = "[";
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        text += (i == 0 ? "\"" : ", \"") + tokenizer.convertIdToToken(tokens[i]).value_or("") + "\"";
    }
    return text + "]";
}

} // namespace

TranscribeTask::TranscribeTask(TranscriptionTimings currentTimings, std::shared_ptr<Progress> progress,
    std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
    std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
    std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<const WhisperTokenizer> tokenizer)
    : timings(currentTimings),
      progress(progress ? std::move(progress) : std::make_shared<Progress>()),
      audioEncoder(std::move(audioEncoder)),
      featureExtractor(std::move(featureExtractor)),
      segmentSeeker(std::move(segmentSeeker)),
      textDecoder(std::move(textDecoder)),
      audioProcessor(audioProcessor ? std::move(audioProcessor) : std::make_shared<AudioProcessor>()),
      tokenizer(std::move(tokenizer))
{
}

asio::awaitable<void> TranscribeTask::windowPreprocess(const std::vector<float>&, std::int64_t, std::int64_t)
{
    co_return;
}

asio::awaitable<std::vector<TranscriptionSegment>> TranscribeTask::windowPostProcess(
    std::int64_t, std::int64_t, std::vector<TranscriptionSegment> segments)
{
    co_return segments;
}

std::vector<runtime::Float16> TranscribeTask::fallbackTemperatures(const DecodingOptions& options)
{
    if (options.temperatureFallbackCount < 0) {
        throw WhisperError(WhisperError::Kind::decodingFailed,
            "Invalid temperatureFallbackCount " + std::to_string(options.temperatureFallbackCount));
    }
    const auto half = [](float value) { return runtime::Float16::fromFloat(value).toFloat(); };
    const float increment = half(options.temperatureIncrementOnFallback);
    const float base = half(options.temperature);
    std::vector<runtime::Float16> temperatures;
    for (std::int64_t j = 0; j <= options.temperatureFallbackCount; ++j) {
        // Each 16-bit operation rounds to 16 bits.
        const float product = half(half(static_cast<float>(j)) * increment);
        temperatures.push_back(runtime::Float16::fromFloat(product + base));
    }
    return temperatures;
}

asio::awaitable<DecodedWindow> TranscribeTask::decodeWithFallback(runtime::MultiArray encoderOutput,
    DecodingOptions options, std::shared_ptr<DecodingInputsType>& inputs, std::optional<std::string>& detectedLanguage,
    TranscriptionCallback callback)
{
    const auto temperatures = fallbackTemperatures(options);
    if (Logging::isEnabled(LogLevel::debug)) {
        std::ostringstream list;
        list << "[";
        for (std::size_t j = 0; j < temperatures.size(); ++j) {
            list << (j == 0 ? "" : ", ") << temperatures[j].toFloat();
        }
        list << "]";
        Logging::debug("Decoding with temperatures " + list.str());
    }
    std::optional<DecodedWindow> result;
    for (std::size_t j = 0; j < temperatures.size(); ++j) {
        const auto temperature = temperatures[j];
        if (Logging::isEnabled(LogLevel::info)) {
            std::ostringstream text;
            text << "Decoding Temperature: " << temperature.toFloat();
            Logging::info(text.str());
        }
        const auto attemptStart = SteadyClock::now();
        GreedyTokenSampler sampler(temperature, tokenizer->specialTokens().endToken, options);

        if (textDecoder->isModelMultilingual() && !options.language && options.detectLanguage) {
            std::optional<DecodingResult> detection;
            try {
                detection = co_await textDecoder->detectLanguage(encoderOutput, inputs, sampler, options, temperature.toFloat());
            } catch (...) {
                // The language stays unknown.
            }
            detectedLanguage = detection ? std::optional<std::string>(detection->language) : std::nullopt;
            if (options.usePrefillPrompt) {
                DecodingOptions prefillOptions = options;
                prefillOptions.language = detectedLanguage;
                inputs = co_await textDecoder->prefillDecoderInputs(inputs, prefillOptions);
            }
            if (Logging::isEnabled(LogLevel::debug)) {
                Logging::debug("Prefill prompt updated to: " + tokenTexts(*tokenizer, inputs->initialPrompt()));
            }
            if (detection && detection->timings) {
                timings.decodingPredictions += detection->timings->decodingPredictions;
                timings.decodingSampling += detection->timings->decodingSampling;
            }
        }

        auto decoded = co_await textDecoder->decodeText(encoderOutput, inputs, sampler, options, callback);
        if (!detectedLanguage) {
            detectedLanguage = decoded.result.language;
        }
        if (const auto& windowTimings = decoded.result.timings) {
            timings.firstTokenTime = std::min(timings.firstTokenTime, windowTimings->firstTokenTime);
            timings.decodingPredictions += windowTimings->decodingPredictions;
            timings.decodingFiltering += windowTimings->decodingFiltering;
            timings.decodingSampling += windowTimings->decodingSampling;
            timings.decodingKvCaching += windowTimings->decodingKvCaching;
            timings.decodingNonPrediction += windowTimings->decodingNonPrediction;
            timings.totalDecodingLoops += windowTimings->totalDecodingLoops;
            timings.totalKVUpdateRuns += windowTimings->totalKVUpdateRuns;
        }
        const auto fallback = decoded.result.fallback;
        result = std::move(decoded);
        if (fallback && fallback->needsFallback) {
            timings.decodingFallback += secondsSince(attemptStart);
            timings.totalDecodingFallbacks = static_cast<double>(j);
            inputs->reset(options.sampleLength);
            Logging::info("Fallback #" + std::to_string(j + 1) + " (" + fallback->fallbackReason + ")");
            continue;
        }
        break;
    }
    if (!result) {
        throw WhisperError(WhisperError::Kind::decodingFailed, "Decoding failed");
    }
    co_return std::move(*result);
}

std::shared_ptr<TranscriptionResult> TranscribeTask::finalizeTranscriptionResult(const std::vector<std::int64_t>& tokens,
    std::vector<TranscriptionSegment> segments, const std::optional<std::string>& language,
    const TranscriptionTimings& timings) const
{
    std::vector<std::int64_t> textTokens;
    const auto specialTokenBegin = tokenizer->specialTokens().specialTokenBegin;
    std::copy_if(tokens.begin(), tokens.end(), std::back_inserter(textTokens),
        [&](std::int64_t token) { return token < specialTokenBegin; });
    auto text = tokenizer->decode(textTokens);
    const auto first = text.find_first_not_of(" \t");
    text = first == std::string::npos ? std::string() : text.substr(first, text.find_last_not_of(" \t") - first + 1);
    return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments),
        language.value_or(std::string(Constants::defaultLanguageCode)), timings);
}

asio::awaitable<std::shared_ptr<TranscriptionResult>> TranscribeTask::run(
    std::vector<float> audioArray, std::optional<DecodingOptions> decodeOptions, TranscriptionCallback callback)
{
    timings.pipelineStart = std::min(timings.pipelineStart, currentAbsoluteTime());
    if (Logging::isEnabled(LogLevel::debug)) {
        const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
        std::tm utc{};
        gmtime_r(&now, &utc);
        char date[32];
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S +0000", &utc);
        Logging::debug(std::string("Starting pipeline at: ") + date);
    }
    DecodingOptions options = decodeOptions.value_or(DecodingOptions{});
    options.verbose = Logging::level() != LogLevel::none;

    const auto contentFrames = static_cast<std::int64_t>(audioArray.size());
    const float clipStart = decodeOptions && !decodeOptions->clipTimestamps.empty() ? decodeOptions->clipTimestamps.front() : 0.0f;
    timings.inputAudioSeconds = static_cast<double>(contentFrames) / Constants::sampleRate - clipStart;

    const auto& special = tokenizer->specialTokens();
    const auto initStart = SteadyClock::now();
    std::shared_ptr<DecodingInputsType> inputs = textDecoder->prepareDecoderInputs({special.startOfTranscriptToken});
    timings.decodingInit = secondsSince(initStart);
    Logging::debug("Decoder init time: " + std::to_string(timings.decodingInit));
    if (options.usePrefillPrompt) {
        inputs = co_await textDecoder->prefillDecoderInputs(inputs, options);
    }
    if (Logging::isEnabled(LogLevel::debug)) {
        Logging::debug("Prefill prompt: " + tokenTexts(*tokenizer, inputs->initialPrompt()));
    }

    const auto clips = options.prepareSeekClips(contentFrames);
    std::int64_t total = 0;
    for (const auto& [start, end] : clips) {
        total += end - start;
    }
    if (Logging::isEnabled(LogLevel::debug)) {
        std::string text = "[";
        for (std::size_t i = 0; i < clips.size(); ++i) {
            text += (i == 0 ? "(" : ", (") + std::to_string(clips[i].first) + ", " + std::to_string(clips[i].second) + ")";
        }
        Logging::debug("Decoding seek clips: " + text + "]");
    }
    progress->setTotalUnitCount(total);

    if (!std::isfinite(options.windowClipTime)) {
        throw WhisperError(WhisperError::Kind::transcriptionFailed, "Invalid windowClipTime: must be a finite number of seconds");
    }
    const auto windowPadding = static_cast<std::int64_t>(options.windowClipTime * Constants::sampleRate);
    const std::int64_t resetContext = decodeOptions ? decodeOptions->sampleLength : Constants::maxTokenContext;
    std::vector<TranscriptionSegment> allSegments;
    std::vector<std::int64_t> allTokens;
    std::optional<std::string> detectedLanguage;
    const auto loopStart = SteadyClock::now();

    for (const auto& [clipStartSample, clipEnd] : clips) {
        std::int64_t seek = clipStartSample;
        const auto completedAtClipStart = progress->completedUnitCount();
        while (seek < clipEnd - windowPadding) {
            const auto windowStart = SteadyClock::now();
            const auto windowSamples = static_cast<std::int64_t>(featureExtractor->windowSamples().value_or(
                static_cast<int>(Constants::defaultWindowSamples)));
            const auto segmentSize = std::min({clipEnd - seek, contentFrames - seek, windowSamples});
            // A clip that reaches past the audio ends with the audio.
            if (contentFrames - seek <= 0) {
                break;
            }
            if (Logging::isEnabled(LogLevel::debug)) {
                Logging::debug("Decoding Seek: " + std::to_string(seek) + " (" + seconds2(seek / 16000.0) + "s)");
                Logging::debug("Decoding Window Size: " + std::to_string(segmentSize) + " ("
                    + seconds2((seek + segmentSize) / 16000.0 - seek / 16000.0) + "s)");
            }

            std::optional<std::vector<float>> padded;
            if (segmentSize > 0) {
                const std::vector<float> cut(audioArray.begin() + seek, audioArray.begin() + seek + segmentSize);
                padded = audioProcessor->padOrTrim(cut, 0, windowSamples);
            }
            if (!padded) {
                throw WhisperError(WhisperError::Kind::transcriptionFailed, "Audio samples are nil");
            }
            co_await windowPreprocess(*padded, seek, segmentSize);
            runtime::MultiArray window({windowSamples}, runtime::MultiArrayDataType::float32);
            std::copy_n(padded->begin(), std::min<std::size_t>(padded->size(), window.count()), window.float32Values().begin());
            timings.audioProcessing += secondsSince(windowStart);
            timings.totalAudioProcessingRuns += 1;
            co_await throwIfCancelled();

            const auto melStart = SteadyClock::now();
            const auto features = co_await featureExtractor->logMelSpectrogram(window);
            if (!features || features->empty()) {
                throw WhisperError(WhisperError::Kind::transcriptionFailed, "Mel output is nil");
            }
            timings.logmels += secondsSince(melStart);
            timings.totalLogmelRuns += 1;
            co_await throwIfCancelled();

            const auto encodingStart = SteadyClock::now();
            const auto encoderOutput = co_await audioEncoder->encodeFeatures(*features);
            if (!encoderOutput || encoderOutput->empty()) {
                throw WhisperError(WhisperError::Kind::transcriptionFailed, "Encoder output is nil");
            }
            timings.encoding += secondsSince(encodingStart);
            timings.totalEncodingRuns += 1;
            if (Logging::isEnabled(LogLevel::info)) {
                Logging::info("Decoding " + seconds2(seek / 16000.0) + "s - " + seconds2((seek + segmentSize) / 16000.0) + "s");
            }

            const auto windowId = static_cast<std::int64_t>(timings.totalDecodingWindows - timings.totalDecodingFallbacks);
            TranscriptionCallback windowCallback;
            if (callback) {
                windowCallback = [callback, windowId](const TranscriptionProgress& value) {
                    auto relabelled = value;
                    relabelled.windowId = windowId;
                    return callback(relabelled);
                };
            }
            co_await throwIfCancelled();

            auto decoded = co_await decodeWithFallback(*encoderOutput, options, inputs, detectedLanguage, windowCallback);

            const auto windowingStart = SteadyClock::now();
            auto [newSeek, segments] = segmentSeeker->findSeekPointAndSegments(decoded.result, options,
                static_cast<std::int64_t>(allSegments.size()), seek, segmentSize, Constants::sampleRate,
                special.timeTokenBegin, special.specialTokenBegin, *tokenizer);
            const auto windowSeek = seek;
            seek = std::max(seek, newSeek);

            if (options.wordTimestamps && decoded.cache && decoded.cache->alignmentWeights) {
                const auto wordStart = SteadyClock::now();
                segments = segmentSeeker->addWordTimestamps(segments.value_or(std::vector<TranscriptionSegment>{}),
                    *decoded.cache->alignmentWeights, *tokenizer, windowSeek, segmentSize,
                    Constants::defaultPrependPunctuations, Constants::defaultAppendPunctuations,
                    static_cast<float>(windowSeek) / 16000.0f, options, timings);
                timings.decodingWordTimestamps += secondsSince(wordStart);
                timings.totalTimestampAlignmentRuns += 1;
                if (segments) {
                    std::erase_if(*segments, [](const TranscriptionSegment& segment) { return !(segment.start < segment.end); });
                    if (!segments->empty()) {
                        seek = std::max(seek, static_cast<std::int64_t>(segments->back().end * 16000.0f));
                    }
                    if (options.verbose) {
                        Logging::debug("Word timestamps:");
                        for (const auto& segment : *segments) {
                            for (const auto& word : segment.words.value_or(std::vector<WordTiming>{})) {
                                char line[64];
                                std::snprintf(line, sizeof line, "[%.3g -> %.3g] prob: ", word.start, word.end);
                                Logging::debug(line + std::to_string(word.probability) + ", word: " + word.word);
                            }
                        }
                    }
                }
            }
            if (options.maxWindowSeek) {
                seek = std::min(seek, windowSeek + *options.maxWindowSeek);
            }
            // A window that ends where it began (its last timestamp is 0.00 s) would be decoded
            // again and again; its audio counts as consumed instead.
            if (seek <= windowSeek) {
                seek = windowSeek + std::max<std::int64_t>(segmentSize, 1);
            }

            if (segments) {
                auto kept = co_await windowPostProcess(windowSeek, segmentSize, std::move(*segments));
                if (options.verbose) {
                    Logging::debug("Segments for window:");
                    for (const auto& segment : kept) {
                        Logging::debug("[" + seconds2(segment.start) + " --> " + seconds2(segment.end) + "] " + segment.text);
                    }
                }
                if (segmentDiscoveryCallback) {
                    segmentDiscoveryCallback(kept);
                }
                for (auto& segment : kept) {
                    allTokens.insert(allTokens.end(), segment.tokens.begin(), segment.tokens.end());
                    allSegments.push_back(std::move(segment));
                }
                timings.decodingWindowing += secondsSince(windowingStart);
                timings.totalDecodingWindows += 1;
                progress->setCompletedUnitCount(completedAtClipStart + (std::min(seek, clipEnd) - clipStartSample));
            }
            inputs->reset(resetContext);
        }
    }

    progress->setCompletedUnitCount(progress->totalUnitCount());
    timings.decodingLoop = secondsSince(loopStart);
    timings.fullPipeline = currentAbsoluteTime() - timings.pipelineStart;
    co_return finalizeTranscriptionResult(allTokens, std::move(allSegments), detectedLanguage, timings);
}

} // namespace auralis
