#pragma once

#include "Foundation/Error.h"

#include <string>

namespace hushnote {

class ManagedOllamaServerError : public Error {
public:
    enum class Kind { binaryMissing, failedToStart, unhealthy, restartLimitReached };

    explicit ManagedOllamaServerError(Kind kind) : kind_(kind) {}

    Kind kind() const noexcept { return kind_; }

    std::string description() const override;
    std::string typeName() const override { return "HushnoteCore.ManagedOllamaServerError"; }
    int code() const override { return static_cast<int>(kind_); }

    bool operator==(const ManagedOllamaServerError&) const = default;

private:
    Kind kind_;
};

} // namespace hushnote
