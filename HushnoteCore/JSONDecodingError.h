#pragma once

#include "Foundation/Error.h"

#include <string>

namespace hushnote {

// A response body that does not decode as the expected record. The texts are fixed: the
// body may hold model output, so no excerpt of it is kept.
class JSONDecodingError : public Error {
public:
    enum class Kind { dataCorrupted, keyNotFound, typeMismatch };

    explicit JSONDecodingError(Kind kind) : kind_(kind) {}

    Kind kind() const noexcept { return kind_; }

    std::string description() const override;
    std::string typeName() const override { return "HushnoteCore.JSONDecodingError"; }
    int code() const override { return static_cast<int>(kind_); }

private:
    Kind kind_;
};

} // namespace hushnote
