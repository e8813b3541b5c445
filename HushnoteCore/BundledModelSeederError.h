#pragma once

#include "Foundation/Error.h"

namespace hushnote {

class BundledModelSeederError : public Error {
public:
    enum class Kind { invalidBundledWhisperModel, invalidBundledOllamaStore };

    explicit BundledModelSeederError(Kind kind) : kind_(kind) {}

    Kind kind() const noexcept { return kind_; }

    std::string description() const override;
    std::string typeName() const override { return "HushnoteCore.BundledModelSeederError"; }
    int code() const override { return static_cast<int>(kind_); }

    bool operator==(const BundledModelSeederError& other) const { return kind_ == other.kind_; }

private:
    Kind kind_;
};

} // namespace hushnote
