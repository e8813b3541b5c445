#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

namespace auralis {

// Engine-wide constants shared by audio loading, decoding and tokenisation.
struct Constants {
    // Every sample array inside the engine is mono at this rate, in Hz.
    static constexpr int sampleRate = 16000;
    // Default sample length; a window's decoding loop stops at token index 223 regardless.
    static constexpr std::int64_t maxTokenContext = 224;
    // One model window: 30 s at 16 kHz.
    static constexpr std::int64_t defaultWindowSamples = 480000;
    // One file read block when resampling: 30 s at 44.1 kHz.
    static constexpr std::uint32_t defaultAudioReadFrameSize = 1323000;
    // Seconds per timestamp token step.
    static constexpr float secondsPerTimeToken = 0.02f;
    // Punctuation merged into the following word (each code point is one member).
    static constexpr std::string_view defaultPrependPunctuations = "\"'“¡¿([{-";
    // Punctuation merged into the preceding word (each code point is one member).
    static constexpr std::string_view defaultAppendPunctuations = "\"'.。,，!！?？:：”)]}、";
    static constexpr std::string_view defaultLanguageCode = "en";
    // The characters trimmed from "<|en|>"-style token texts.
    static constexpr std::string_view specialTokenCharacters = "<|>";

    // Lower-case language name to Whisper language code: 100 languages and 12 aliases.
    static const std::map<std::string, std::string> languages;
    // Every code of `languages` (100 distinct codes).
    static const std::set<std::string> languageCodes;
};

} // namespace auralis
