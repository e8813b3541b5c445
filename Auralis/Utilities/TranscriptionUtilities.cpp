#include "Auralis/Utilities/TranscriptionUtilities.h"

#include "Auralis/Core/Constants.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace auralis {

namespace {

std::string normalized(const std::string& word)
{
    const auto strip = [](unsigned char c) { return std::isspace(c) || std::ispunct(c); };
    auto begin = word.begin();
    auto end = word.end();
    while (begin != end && strip(static_cast<unsigned char>(*begin))) {
        ++begin;
    }
    while (end != begin && strip(static_cast<unsigned char>(*(end - 1)))) {
        --end;
    }
    std::string result(begin, end);
    std::transform(result.begin(), result.end(), result.begin(),
        [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

std::size_t commonPrefixLength(const std::vector<WordTiming>& words1, const std::vector<WordTiming>& words2)
{
    std::size_t k = 0;
    while (k < words1.size() && k < words2.size() && normalized(words1[k].word) == normalized(words2[k].word)) {
        ++k;
    }
    return k;
}

} // namespace

std::vector<std::string> TranscriptionUtilities::formatSegments(const std::vector<TranscriptionSegment>& segments, bool withTimestamps)
{
    std::vector<std::string> lines;
    for (const auto& segment : segments) {
        if (withTimestamps) {
            char times[64];
            std::snprintf(times, sizeof times, "[%.2f --> %.2f] ", segment.start, segment.end);
            lines.push_back(times + segment.text);
        } else {
            lines.push_back(segment.text);
        }
    }
    return lines;
}

TranscriptionSegment TranscriptionUtilities::updateSegmentTimings(TranscriptionSegment segment, float seekTime)
{
    segment.seek += static_cast<std::int64_t>(seekTime * static_cast<float>(Constants::sampleRate));
    segment.start += seekTime;
    segment.end += seekTime;
    if (segment.words) {
        for (auto& word : *segment.words) {
            word.start += seekTime;
            word.end += seekTime;
        }
    }
    return segment;
}

std::vector<WordTiming> TranscriptionUtilities::findLongestCommonPrefix(
    const std::vector<WordTiming>& words1, const std::vector<WordTiming>& words2)
{
    return {words1.begin(), words1.begin() + static_cast<std::ptrdiff_t>(commonPrefixLength(words1, words2))};
}

std::vector<WordTiming> TranscriptionUtilities::findLongestDifferentSuffix(
    const std::vector<WordTiming>& words1, const std::vector<WordTiming>& words2)
{
    return {words2.begin() + static_cast<std::ptrdiff_t>(commonPrefixLength(words1, words2)), words2.end()};
}

std::shared_ptr<TranscriptionResult> TranscriptionUtilities::mergeTranscriptionResults(
    const std::vector<std::shared_ptr<TranscriptionResult>>& results, const std::optional<std::vector<WordTiming>>& confirmedWords)
{
    std::string text;
    if (confirmedWords) {
        for (const auto& word : *confirmedWords) {
            text += word.word;
        }
    } else {
        for (std::size_t i = 0; i < results.size(); ++i) {
            text += (i == 0 ? "" : " ") + (results[i] ? results[i]->text() : std::string());
        }
    }
    std::vector<TranscriptionSegment> segments;
    std::optional<std::string> language;
    TranscriptionTimings merged;
    bool first = true;
    for (const auto& result : results) {
        if (!result) {
            continue;
        }
        for (auto& segment : result->segments()) {
            segments.push_back(std::move(segment));
        }
        if (!language) {
            language = result->language();
        }
        const auto timings = result->timings();
        for (const auto& [name, field] : TranscriptionTimings::fields) {
            const std::string_view key = name;
            if (key == "pipelineStart" || key == "firstTokenTime") {
                merged.*field = std::min(merged.*field, timings.*field);
            } else if (key == "inputAudioSeconds" && first) {
                merged.*field = timings.*field;
            } else {
                merged.*field += timings.*field;
            }
        }
        first = false;
    }
    return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments),
        language.value_or(std::string(Constants::defaultLanguageCode)), merged);
}

} // namespace auralis
