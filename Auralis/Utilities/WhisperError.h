#pragma once

#include "Foundation/Error.h"

#include <array>
#include <string>

namespace auralis {

// The engine's error. Every case carries its message text, which is also its description;
// the engine Parts that raise a case choose the text.
class WhisperError : public hushnote::Error {
public:
    enum class Kind {
        tokenizerUnavailable,
        modelsUnavailable,
        audioProcessingFailed,
        decodingLogitsFailed,
        segmentingFailed,
        loadAudioFailed,
        prepareDecoderInputsFailed,
        transcriptionFailed,
        decodingFailed,
        microphoneUnavailable,
        initializationError,
    };

    WhisperError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }

    std::string description() const override { return message_; }
    std::string typeName() const override { return "Auralis.WhisperError"; }
    int code() const override { return static_cast<int>(kind_); }

    bool operator==(const WhisperError& other) const
    {
        return kind_ == other.kind_ && message_ == other.message_;
    }

private:
    Kind kind_;
    std::string message_;
};

inline constexpr std::array kAllWhisperErrorKinds{
    WhisperError::Kind::tokenizerUnavailable,
    WhisperError::Kind::modelsUnavailable,
    WhisperError::Kind::audioProcessingFailed,
    WhisperError::Kind::decodingLogitsFailed,
    WhisperError::Kind::segmentingFailed,
    WhisperError::Kind::loadAudioFailed,
    WhisperError::Kind::prepareDecoderInputsFailed,
    WhisperError::Kind::transcriptionFailed,
    WhisperError::Kind::decodingFailed,
    WhisperError::Kind::microphoneUnavailable,
    WhisperError::Kind::initializationError,
};

const char* toString(WhisperError::Kind kind);

} // namespace auralis
