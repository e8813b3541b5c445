#pragma once

#include "Foundation/Error.h"

namespace hushnote {

class MicrophoneRecorderError : public Error {
public:
    enum class Kind { permissionDenied, alreadyRecording, notRecording, failedToStart, emptyRecording };

    explicit MicrophoneRecorderError(Kind kind) : kind_(kind) {}

    Kind kind() const noexcept { return kind_; }
    std::string description() const override;
    std::string typeName() const override { return "HushnoteApp.MicrophoneRecorderError"; }
    int code() const override { return static_cast<int>(kind_); }

    bool operator==(const MicrophoneRecorderError&) const = default;

private:
    Kind kind_;
};

} // namespace hushnote
