#pragma once

#include "Foundation/Error.h"

#include <string>

namespace hushnote {

// The guardrail's verdicts on a provider's output.
class CleanupGuardFailure : public Error {
public:
    enum class Kind { protectedTokenMissing, emptyOutput, outputTooLong, outputTooShort, tooManyWordsChanged };

    static CleanupGuardFailure protectedTokenMissing(std::string token)
    {
        return CleanupGuardFailure(Kind::protectedTokenMissing, std::move(token));
    }
    static CleanupGuardFailure emptyOutput() { return CleanupGuardFailure(Kind::emptyOutput); }
    static CleanupGuardFailure outputTooLong() { return CleanupGuardFailure(Kind::outputTooLong); }
    static CleanupGuardFailure outputTooShort() { return CleanupGuardFailure(Kind::outputTooShort); }
    static CleanupGuardFailure tooManyWordsChanged() { return CleanupGuardFailure(Kind::tooManyWordsChanged); }

    Kind kind() const noexcept { return kind_; }
    // The missing token for protectedTokenMissing, empty otherwise.
    const std::string& token() const noexcept { return token_; }

    std::string description() const override;
    std::string typeName() const override { return "HushnoteCore.CleanupGuardFailure"; }
    int code() const override { return static_cast<int>(kind_); }

    bool operator==(const CleanupGuardFailure& other) const
    {
        return kind_ == other.kind_ && token_ == other.token_;
    }

private:
    explicit CleanupGuardFailure(Kind kind, std::string token = {}) : kind_(kind), token_(std::move(token)) {}

    Kind kind_;
    std::string token_;
};

} // namespace hushnote
