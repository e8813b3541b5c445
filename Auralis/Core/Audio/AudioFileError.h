#pragma once

#include "Foundation/Error.h"

#include <array>
#include <string>

namespace auralis {

// A failure of the audio file reader. The loader lets it propagate unchanged.
class AudioFileError : public hushnote::Error {
public:
    enum class Kind { openFailed, readFailed };

    AudioFileError(Kind kind, std::string message)
        : kind_(kind)
        , message_(std::move(message))
    {
    }

    Kind kind() const noexcept { return kind_; }

    std::string description() const override { return message_; }
    std::string typeName() const override { return "Auralis.AudioFileError"; }
    int code() const override { return static_cast<int>(kind_); }

private:
    Kind kind_;
    std::string message_;
};

inline constexpr std::array kAllAudioFileErrorKinds { AudioFileError::Kind::openFailed,
    AudioFileError::Kind::readFailed };

} // namespace auralis
