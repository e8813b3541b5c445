#pragma once

#include "Foundation/Error.h"

#include <string>

namespace hushnote {

// The sound server would not give a capture stream. `detail` is the server's own reason.
class AudioCaptureError : public Error {
public:
    enum class Kind { streamRefused };

    AudioCaptureError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

    Kind kind() const noexcept { return kind_; }
    const std::string& detail() const noexcept { return detail_; }
    std::string description() const override;
    std::string typeName() const override { return "HushnoteApp.AudioCaptureError"; }
    int code() const override { return static_cast<int>(kind_); }

private:
    Kind kind_;
    std::string detail_;
};

} // namespace hushnote
