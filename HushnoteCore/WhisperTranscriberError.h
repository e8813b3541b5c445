#pragma once

#include "Foundation/Error.h"

#include <string>

namespace hushnote {

class WhisperTranscriberError : public Error {
public:
    enum class Kind { requiredModelFileMissing, modelPathMissing, runtimeNotLinked, emptyTranscript };

    static WhisperTranscriberError requiredModelFileMissing(std::string name)
    {
        return WhisperTranscriberError(Kind::requiredModelFileMissing, std::move(name));
    }
    static WhisperTranscriberError modelPathMissing() { return WhisperTranscriberError(Kind::modelPathMissing); }
    static WhisperTranscriberError runtimeNotLinked() { return WhisperTranscriberError(Kind::runtimeNotLinked); }
    static WhisperTranscriberError emptyTranscript() { return WhisperTranscriberError(Kind::emptyTranscript); }

    Kind kind() const noexcept { return kind_; }
    // The missing entry's name for requiredModelFileMissing, empty otherwise.
    const std::string& name() const noexcept { return name_; }

    std::string description() const override;
    std::string typeName() const override { return "HushnoteCore.WhisperTranscriberError"; }
    int code() const override { return static_cast<int>(kind_); }

    bool operator==(const WhisperTranscriberError& other) const
    {
        return kind_ == other.kind_ && name_ == other.name_;
    }

private:
    explicit WhisperTranscriberError(Kind kind, std::string name = {}) : kind_(kind), name_(std::move(name)) {}

    Kind kind_;
    std::string name_;
};

} // namespace hushnote
