#pragma once

#include "Foundation/Error.h"

namespace hushnote {

// A key source that cannot observe the dictation key.
class KeySourceError : public Error {
public:
    enum class Kind { displayUnavailable, inputExtensionMissing, keyNotVisible };

    explicit KeySourceError(Kind kind) : kind_(kind) {}

    Kind kind() const noexcept { return kind_; }
    std::string description() const override;
    std::string typeName() const override { return "HushnoteApp.KeySourceError"; }
    int code() const override { return static_cast<int>(kind_); }

private:
    Kind kind_;
};

} // namespace hushnote
