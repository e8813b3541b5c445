#pragma once

#include "Foundation/Error.h"

#include <array>
#include <string>

namespace auralis::runtime {

// Failures of the model runtime. The message always names the file or the feature at fault.
class ModelError : public hushnote::Error {
public:
    enum class Kind {
        // A model folder, description or weights file could not be read or is malformed.
        loadFailed,
        // Inputs do not match the model's description, or the model could not run.
        predictionFailed,
        // A multi-array was created or accessed in a way its shape or element type forbids.
        invalidArray,
        // Importing a checkpoint into a model folder failed.
        importFailed,
    };

    ModelError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    Kind kind() const noexcept { return kind_; }
    std::string description() const override { return message_; }
    std::string typeName() const override { return "Auralis.ModelError"; }
    int code() const override { return static_cast<int>(kind_); }

private:
    Kind kind_;
    std::string message_;
};

inline constexpr std::array kAllModelErrorKinds {
    ModelError::Kind::loadFailed,
    ModelError::Kind::predictionFailed,
    ModelError::Kind::invalidArray,
    ModelError::Kind::importFailed,
};

const char* toString(ModelError::Kind kind);

} // namespace auralis::runtime
