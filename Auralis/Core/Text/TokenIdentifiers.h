#pragma once

#include <cstdint>

namespace auralis {

// The ids of Whisper's control tokens in one vocabulary.
struct SpecialTokens {
    // Ends the transcript ("<|endoftext|>").
    std::int64_t endToken = 50257;
    // "<|en|>".
    std::int64_t englishToken = 50259;
    // Its probability measures the absence of speech ("<|nospeech|>").
    std::int64_t noSpeechToken = 50362;
    // Asks for decoding without timestamps ("<|notimestamps|>").
    std::int64_t noTimestampsToken = 50363;
    // First id of the special range: every id at or above it is a control, language or
    // timestamp token.
    std::int64_t specialTokenBegin = 50257;
    // Introduces a prompt of previous text ("<|startofprev|>").
    std::int64_t startOfPreviousToken = 50361;
    // First token of every decoding ("<|startoftranscript|>").
    std::int64_t startOfTranscriptToken = 50258;
    // The timestamp token for 0.00 s ("<|0.00|>"); timestamp k (0.02 s steps) is this plus k.
    std::int64_t timeTokenBegin = 50364;
    // "<|transcribe|>".
    std::int64_t transcribeToken = 50359;
    // "<|translate|>".
    std::int64_t translateToken = 50358;
    // The single-space token.
    std::int64_t whitespaceToken = 220;

    bool operator==(const SpecialTokens&) const = default;
};

} // namespace auralis
