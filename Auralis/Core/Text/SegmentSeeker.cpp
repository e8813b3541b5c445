#include "Auralis/Core/Text/SegmentSeeker.h"

#include "Auralis/Runtime/Float16.h"
#include "Auralis/Utilities/Logging.h"
#include "Auralis/Utilities/Rounding.h"
#include "Auralis/Utilities/WhisperError.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace auralis {

namespace {

constexpr float kSecondsPerTimeToken = 0.02f;

// Decodes the code point at `text[i]`; returns its length (1 for an invalid byte).
std::size_t codePointAt(std::string_view text, std::size_t i, char32_t& codePoint)
{
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = byte < 0x80 ? 1 : byte >> 5 == 0x6 ? 2 : byte >> 4 == 0xE ? 3 : byte >> 3 == 0x1E ? 4 : 1;
    if (i + length > text.size()) {
        length = 1;
    }
    if (length == 1) {
        codePoint = byte;
        return 1;
    }
    codePoint = byte & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
        codePoint = (codePoint << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    return length;
}

// Space separators (Unicode category Zs) and the tab; not line breaks.
bool isWhiteSpace(char32_t c)
{
    return c == U'\t' || c == U' ' || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F
        || c == 0x205F || c == 0x3000;
}

bool beginsWithWhiteSpace(std::string_view text)
{
    if (text.empty()) {
        return false;
    }
    char32_t c = 0;
    codePointAt(text, 0, c);
    return isWhiteSpace(c);
}

std::string_view trimmedWhiteSpace(std::string_view text)
{
    std::size_t begin = 0;
    while (begin < text.size()) {
        char32_t c = 0;
        const auto length = codePointAt(text, begin, c);
        if (!isWhiteSpace(c)) {
            break;
        }
        begin += length;
    }
    std::size_t end = begin;
    std::size_t contentEnd = begin;
    while (end < text.size()) {
        char32_t c = 0;
        const auto length = codePointAt(text, end, c);
        end += length;
        if (!isWhiteSpace(c)) {
            contentEnd = end;
        }
    }
    return text.substr(begin, contentEnd - begin);
}

// Membership is substring containment in the set's text; the empty text belongs to no set.
bool isIn(std::string_view text, std::string_view set)
{
    return !text.empty() && set.find(text) != std::string_view::npos;
}

bool isSentenceEndMark(std::string_view text)
{
    static constexpr std::array<std::string_view, 6> marks{".", "。", "!", "！", "?", "？"};
    return std::find(marks.begin(), marks.end(), text) != marks.end();
}

float roundedTwo(float value)
{
    return roundedToDecimalPlaces(value, 2);
}

std::string segmentText(const std::vector<std::int64_t>& tokens, bool skipSpecialTokens, std::int64_t specialToken,
    const WhisperTokenizer& tokenizer)
{
    if (!skipSpecialTokens) {
        return tokenizer.decode(tokens);
    }
    std::vector<std::int64_t> text;
    std::copy_if(tokens.begin(), tokens.end(), std::back_inserter(text),
        [&](std::int64_t token) { return token < specialToken; });
    return tokenizer.decode(text);
}

} // namespace

std::pair<std::int64_t, std::optional<std::vector<TranscriptionSegment>>> SegmentSeeker::findSeekPointAndSegments(
    const DecodingResult& decodingResult, const DecodingOptions& options, std::int64_t allSegmentsCount,
    std::int64_t currentSeek, std::int64_t segmentSize, std::int64_t sampleRate, std::int64_t timeToken,
    std::int64_t specialToken, const WhisperTokenizer& tokenizer)
{
    if (options.noSpeechThreshold && decodingResult.noSpeechProb > *options.noSpeechThreshold
        && !(options.logProbThreshold && decodingResult.avgLogProb > *options.logProbThreshold)) {
        return {currentSeek + segmentSize, std::nullopt};
    }
    const auto& tokens = decodingResult.tokens;
    const auto n = tokens.size();
    std::vector<bool> isTimestamp(n);
    for (std::size_t i = 0; i < n; ++i) {
        isTimestamp[i] = tokens[i] >= timeToken;
    }
    const bool singleTimestampEnding = n >= 3 && !isTimestamp[n - 3] && isTimestamp[n - 2] && !isTimestamp[n - 1];
    const bool noTimestampEnding = n >= 3 && !isTimestamp[n - 3] && !isTimestamp[n - 2] && !isTimestamp[n - 1];
    std::vector<std::size_t> consecutive;
    for (std::size_t i = 1; i < n; ++i) {
        if (isTimestamp[i - 1] && isTimestamp[i]) {
            consecutive.push_back(i);
        }
    }
    const float timeOffset = static_cast<float>(currentSeek) / static_cast<float>(sampleRate);

    const auto makeSegment = [&](std::size_t from, std::size_t to, float start, float end, std::int64_t id) {
        TranscriptionSegment segment;
        segment.id = id;
        segment.seek = currentSeek;
        segment.start = start;
        segment.end = end;
        segment.tokens.assign(tokens.begin() + static_cast<std::ptrdiff_t>(from), tokens.begin() + static_cast<std::ptrdiff_t>(to));
        const auto& maps = decodingResult.tokenLogProbs;
        const auto mapEnd = std::min(to, maps.size());
        if (from < mapEnd) {
            segment.tokenLogProbs.assign(maps.begin() + static_cast<std::ptrdiff_t>(from), maps.begin() + static_cast<std::ptrdiff_t>(mapEnd));
        }
        segment.text = segmentText(segment.tokens, options.skipSpecialTokens, specialToken, tokenizer);
        segment.temperature = decodingResult.temperature;
        segment.avgLogprob = decodingResult.avgLogProb;
        segment.compressionRatio = decodingResult.compressionRatio;
        segment.noSpeechProb = decodingResult.noSpeechProb;
        return segment;
    };

    std::vector<TranscriptionSegment> segments;
    if (!consecutive.empty()) {
        auto cuts = consecutive;
        if (singleTimestampEnding) {
            cuts.push_back(n - 1);
        } else if (noTimestampEnding) {
            cuts.push_back(n);
        }
        std::size_t last = 0;
        for (const auto cut : cuts) {
            std::optional<std::int64_t> firstStamp;
            std::optional<std::int64_t> lastStamp;
            for (auto k = last; k < cut; ++k) {
                if (tokens[k] >= timeToken) {
                    if (!firstStamp) {
                        firstStamp = tokens[k];
                    }
                    lastStamp = tokens[k];
                }
            }
            const float start = timeOffset + static_cast<float>(firstStamp.value_or(timeToken) - timeToken) * kSecondsPerTimeToken;
            const float end = timeOffset + static_cast<float>(lastStamp.value_or(timeToken) - timeToken) * kSecondsPerTimeToken;
            segments.push_back(makeSegment(last, cut, start, end, allSegmentsCount + static_cast<std::int64_t>(segments.size())));
            last = cut;
        }
        if (noTimestampEnding) {
            return {currentSeek + segmentSize, std::move(segments)};
        }
        const auto p = singleTimestampEnding ? tokens[last - 1] : tokens[last];
        const auto advance = static_cast<std::int64_t>(
            static_cast<float>(p - timeToken) * kSecondsPerTimeToken * static_cast<float>(sampleRate));
        return {currentSeek + advance, std::move(segments)};
    }

    std::optional<std::int64_t> lastStamp;
    for (const auto token : tokens) {
        if (token > timeToken) {
            lastStamp = token;
        }
    }
    const float duration = lastStamp ? static_cast<float>(*lastStamp - timeToken) * kSecondsPerTimeToken
                                     : static_cast<float>(segmentSize) / static_cast<float>(sampleRate);
    segments.push_back(makeSegment(0, n, timeOffset, timeOffset + duration, allSegmentsCount));
    return {currentSeek + segmentSize, std::move(segments)};
}

std::pair<double, int> SegmentSeeker::minCostAndTrace(double diagonal, double up, double left, double value) const
{
    const double d = diagonal - value;
    const double u = up - value;
    const double l = left - value;
    if (d < u && d < l) {
        return {d, 0};
    }
    if (u < d && u < l) {
        return {u, 1};
    }
    return {l, 2};
}

std::pair<std::vector<std::int64_t>, std::vector<std::int64_t>> SegmentSeeker::dynamicTimeWarping(
    const runtime::MultiArray& matrix) const
{
    if (matrix.empty() || matrix.shape().size() != 2) {
        throw WhisperError(WhisperError::Kind::segmentingFailed, "Invalid alignment matrix shape");
    }
    const auto n = matrix.shape()[0];
    const auto m = matrix.shape()[1];
    const auto columns = m + 1;
    const auto cell = [columns](std::int64_t i, std::int64_t j) { return static_cast<std::size_t>(i * columns + j); };
    std::vector<double> cost(static_cast<std::size_t>((n + 1) * columns), std::numeric_limits<double>::infinity());
    std::vector<int> trace(cost.size(), -1);
    cost[0] = 0;
    for (std::int64_t j = 1; j <= m; ++j) {
        trace[cell(0, j)] = 2;
    }
    for (std::int64_t i = 1; i <= n; ++i) {
        trace[cell(i, 0)] = 1;
    }
    std::vector<float> row(static_cast<std::size_t>(m));
    for (std::int64_t i = 1; i <= n; ++i) {
        if (matrix.dataType() == runtime::MultiArrayDataType::float16) {
            runtime::convertHalfToFloat(matrix.float16Bits().data() + (i - 1) * m, row.data(), row.size());
        } else {
            for (std::int64_t j = 0; j < m; ++j) {
                row[static_cast<std::size_t>(j)] = static_cast<float>(matrix.value(static_cast<std::size_t>((i - 1) * m + j)));
            }
        }
        for (std::int64_t j = 1; j <= m; ++j) {
            double w = row[static_cast<std::size_t>(j - 1)];
            // A non-finite weight would drive the path onto the border; it aligns nothing.
            if (!std::isfinite(w)) {
                w = 0;
            }
            const auto [c, t] = minCostAndTrace(cost[cell(i - 1, j - 1)], cost[cell(i - 1, j)], cost[cell(i, j - 1)], w);
            cost[cell(i, j)] = c;
            trace[cell(i, j)] = t;
        }
    }
    return backtrace(trace, n + 1, columns);
}

std::pair<std::vector<std::int64_t>, std::vector<std::int64_t>> SegmentSeeker::backtrace(
    const std::vector<int>& trace, std::int64_t rows, std::int64_t columns) const
{
    std::vector<std::int64_t> textIndices;
    std::vector<std::int64_t> timeIndices;
    auto i = rows - 1;
    auto j = columns - 1;
    while (i > 0 || j > 0) {
        textIndices.push_back(i - 1);
        timeIndices.push_back(j - 1);
        const int code = trace[static_cast<std::size_t>(i * columns + j)];
        if (code == 0) {
            --i;
            --j;
        } else if (code == 1) {
            --i;
        } else if (code == 2) {
            --j;
        } else {
            // An unset cell cannot be left; stop rather than loop.
            break;
        }
        if (i < 0 || j < 0) {
            break;
        }
    }
    std::reverse(textIndices.begin(), textIndices.end());
    std::reverse(timeIndices.begin(), timeIndices.end());
    return {std::move(textIndices), std::move(timeIndices)};
}

std::vector<WordTiming> SegmentSeeker::findAlignment(const std::vector<std::int64_t>& wordTokenIds,
    const runtime::MultiArray& alignmentWeights, const std::vector<float>& tokenLogProbs,
    const WhisperTokenizer& tokenizer, const std::optional<TranscriptionTimings>&) const
{
    const auto [textIndices, timeIndices] = dynamicTimeWarping(alignmentWeights);
    const auto split = tokenizer.splitToWordTokens(wordTokenIds);
    if (split.words.size() <= 1) {
        return {};
    }
    std::vector<float> starts{0.0f};
    std::vector<float> ends;
    if (!textIndices.empty()) {
        auto current = textIndices.front();
        for (std::size_t k = 0; k < textIndices.size(); ++k) {
            if (textIndices[k] != current) {
                current = textIndices[k];
                const float t = static_cast<float>(timeIndices[k]) * kSecondsPerTimeToken;
                starts.push_back(t);
                ends.push_back(t);
            }
        }
        ends.push_back(static_cast<float>(timeIndices.back()) * kSecondsPerTimeToken);
    } else {
        ends.push_back(1500 * kSecondsPerTimeToken);
    }

    std::vector<WordTiming> words;
    std::size_t l = 0;
    for (std::size_t w = 0; w < split.words.size() && w < split.wordTokens.size(); ++w) {
        const auto count = split.wordTokens[w].size();
        if (count == 0) {
            continue;
        }
        const auto lastIndex = l + count - 1;
        if (l >= starts.size() || lastIndex >= ends.size()) {
            break;
        }
        float sum = 0;
        for (auto k = l; k <= lastIndex && k < tokenLogProbs.size(); ++k) {
            sum += tokenLogProbs[k];
        }
        WordTiming word;
        word.word = split.words[w];
        word.tokens = split.wordTokens[w];
        word.start = starts[l];
        word.end = ends[lastIndex];
        word.probability = std::exp(sum / static_cast<float>(count));
        words.push_back(std::move(word));
        l += count;
    }
    return words;
}

std::optional<std::vector<TranscriptionSegment>> SegmentSeeker::addWordTimestamps(
    std::optional<std::vector<TranscriptionSegment>> segments, const runtime::MultiArray& alignmentWeights,
    const WhisperTokenizer& tokenizer, std::int64_t seek, std::int64_t, std::string_view prependPunctuations,
    std::string_view appendPunctuations, float lastSpeechTimestamp, const DecodingOptions&, const TranscriptionTimings&)
{
    // No segments means no tokens to align; the warping needs at least one row.
    if (!segments || segments->empty()) {
        return segments;
    }
    std::vector<std::int64_t> wordTokenIds;
    std::vector<std::int64_t> rows;
    std::vector<float> logProbs;
    std::int64_t position = 0;
    for (const auto& segment : *segments) {
        for (std::size_t k = 0; k < segment.tokens.size(); ++k) {
            const auto token = segment.tokens[k];
            wordTokenIds.push_back(token);
            rows.push_back(position++);
            if (k < segment.tokenLogProbs.size()) {
                if (const auto it = segment.tokenLogProbs[k].find(token); it != segment.tokenLogProbs[k].end()) {
                    logProbs.push_back(it->second);
                }
            }
        }
    }
    if (alignmentWeights.empty() || alignmentWeights.shape().empty()) {
        throw WhisperError(WhisperError::Kind::segmentingFailed, "Invalid shape in alignmentWeights");
    }
    const auto m = alignmentWeights.shape().back();
    runtime::MultiArray matrix({static_cast<std::int64_t>(rows.size()), m}, alignmentWeights.dataType(), 0);
    const auto elementBytes = runtime::elementSize(alignmentWeights.dataType());
    const auto source = alignmentWeights.bytes();
    auto target = matrix.bytes();
    const auto rowBytes = static_cast<std::size_t>(m) * elementBytes;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto from = static_cast<std::size_t>(rows[i]) * rowBytes;
        // Rows past the decoder's cache stay zero.
        if (from + rowBytes <= source.size()) {
            std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(from), rowBytes,
                target.begin() + static_cast<std::ptrdiff_t>(i * rowBytes));
        }
    }
    if (Logging::isEnabled(LogLevel::debug)) {
        Logging::debug("Alignment weights shape: " + runtime::MultiArray::shapeString(matrix.shape()));
    }
    auto words = findAlignment(wordTokenIds, matrix, logProbs, tokenizer);
    const auto [median, maxDuration] = calculateWordDurationConstraints(words);
    words = truncateLongWordsAtSentenceBoundaries(words, maxDuration);
    if (!words.empty()) {
        words = mergePunctuations(words, prependPunctuations, appendPunctuations);
    }
    return updateSegmentsWithWordTimings(std::move(*segments), words, seek, lastSpeechTimestamp, median, maxDuration, tokenizer);
}

std::pair<float, float> SegmentSeeker::calculateWordDurationConstraints(const std::vector<WordTiming>& alignment) const
{
    std::vector<float> durations;
    for (const auto& word : alignment) {
        const float duration = word.end - word.start;
        if (duration > 0) {
            durations.push_back(duration);
        }
    }
    float median = 0;
    if (!durations.empty()) {
        std::sort(durations.begin(), durations.end());
        median = durations[durations.size() / 2];
    }
    median = std::min(median, 0.7f);
    return {median, median * 2};
}

std::vector<WordTiming> SegmentSeeker::truncateLongWordsAtSentenceBoundaries(
    const std::vector<WordTiming>& alignment, float maxDuration) const
{
    auto words = alignment;
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i].end - words[i].start > maxDuration) {
            if (isSentenceEndMark(words[i].word)) {
                words[i].end = words[i].start + maxDuration;
            } else if (isSentenceEndMark(words[i - 1].word)) {
                words[i].start = words[i].end - maxDuration;
            }
        }
    }
    return words;
}

std::vector<WordTiming> SegmentSeeker::mergePunctuations(
    const std::vector<WordTiming>& alignment, std::string_view prepended, std::string_view appended) const
{
    if (alignment.empty()) {
        return {};
    }
    std::vector<WordTiming> prepend;
    if (!isIn(trimmedWhiteSpace(alignment[0].word), prepended)) {
        prepend.push_back(alignment[0]);
    }
    for (std::size_t i = 1; i < alignment.size(); ++i) {
        const auto& previous = alignment[i - 1];
        const auto& word = alignment[i];
        if (beginsWithWhiteSpace(previous.word) && isIn(trimmedWhiteSpace(previous.word), prepended)) {
            const auto& base = prepend.empty() ? previous : prepend.back();
            WordTiming merged = word;
            merged.word = base.word + word.word;
            merged.tokens = base.tokens;
            merged.tokens.insert(merged.tokens.end(), word.tokens.begin(), word.tokens.end());
            if (prepend.empty()) {
                prepend.push_back(std::move(merged));
            } else {
                prepend.back() = std::move(merged);
            }
        } else {
            prepend.push_back(word);
        }
    }
    if (prepend.empty()) {
        return {};
    }

    std::vector<WordTiming> append{prepend[0]};
    for (std::size_t i = 1; i < prepend.size(); ++i) {
        const auto& word = prepend[i];
        if (!prepend[i - 1].word.ends_with(' ') && isIn(trimmedWhiteSpace(word.word), appended)) {
            append.back().word += word.word;
            append.back().tokens.insert(append.back().tokens.end(), word.tokens.begin(), word.tokens.end());
        } else {
            append.push_back(word);
        }
    }

    std::vector<WordTiming> result;
    for (auto& word : append) {
        if (!word.word.empty() && !isIn(word.word, appended) && !isIn(word.word, prepended)) {
            result.push_back(std::move(word));
        }
    }
    return result;
}

std::vector<TranscriptionSegment> SegmentSeeker::updateSegmentsWithWordTimings(std::vector<TranscriptionSegment> segments,
    const std::vector<WordTiming>& mergedAlignment, std::int64_t seek, float lastSpeechTimestamp,
    float constrainedMedianDuration, float maxDuration, const WhisperTokenizer& tokenizer) const
{
    const auto specialTokenBegin = tokenizer.specialTokens().specialTokenBegin;
    const float seekTime = static_cast<float>(seek) / 16000.0f;
    const float median = constrainedMedianDuration;
    std::size_t cursor = 0;
    float lastSpeech = lastSpeechTimestamp;

    for (std::size_t s = 0; s < segments.size(); ++s) {
        auto& segment = segments[s];
        const auto textCount = static_cast<std::size_t>(std::count_if(segment.tokens.begin(), segment.tokens.end(),
            [&](std::int64_t token) { return token < specialTokenBegin; }));
        std::size_t saved = 0;
        std::vector<WordTiming> words;
        while (saved < textCount && cursor < mergedAlignment.size()) {
            const auto& timing = mergedAlignment[cursor++];
            std::vector<std::int64_t> kept;
            std::copy_if(timing.tokens.begin(), timing.tokens.end(), std::back_inserter(kept),
                [&](std::int64_t token) { return token < specialTokenBegin; });
            if (kept.empty()) {
                continue;
            }
            const auto text = kept.size() != timing.tokens.size() ? tokenizer.decode(kept) : timing.word;
            float start = roundedTwo(seekTime + timing.start);
            const float end = roundedTwo(seekTime + timing.end);
            if (end - start < median * 0.25f) {
                std::optional<float> previousEnd;
                if (!words.empty()) {
                    previousEnd = words.back().end;
                } else if (s > 0) {
                    previousEnd = segments[s - 1].end;
                }
                if (previousEnd && *previousEnd < start) {
                    start = roundedTwo(start - std::min(median * 0.5f, start - *previousEnd));
                }
            }
            saved += kept.size();
            words.push_back(WordTiming{text, std::move(kept), start, end, roundedTwo(timing.probability)});
        }
        if (!words.empty()) {
            auto& first = words.front();
            auto& last = words.back();
            if (first.end - lastSpeech > 4 * median
                && (first.end - first.start > maxDuration
                    || (words.size() > 1 && words[1].end - first.start > 2 * maxDuration))) {
                if (words.size() > 1 && words[1].end - words[1].start > maxDuration) {
                    const float boundary = std::max(words[1].end * 0.5f, words[1].end - maxDuration);
                    first.end = boundary;
                    words[1].start = boundary;
                }
                first.start = std::max(lastSpeech, first.end - maxDuration);
            }
            if (segment.start < first.end && first.start < segment.start - 0.5f) {
                first.start = std::max(0.0f, std::min(segment.start, first.end - median));
            } else {
                segment.start = first.start;
            }
            if (last.start < segment.end && segment.end + 0.5f < last.end) {
                last.end = std::max(segment.end, last.start + median);
            } else {
                segment.end = last.end;
            }
            lastSpeech = segment.end;
        }
        segment.words = std::move(words);
    }
    return segments;
}

} // namespace auralis
