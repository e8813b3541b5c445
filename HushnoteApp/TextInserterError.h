#pragma once

#include "Foundation/Error.h"

namespace hushnote {

class TextInserterError : public Error {
public:
    enum class Kind { pasteboardWriteFailed, eventCreationFailed };

    explicit TextInserterError(Kind kind) : kind_(kind) {}

    Kind kind() const noexcept { return kind_; }
    std::string description() const override;
    std::string typeName() const override { return "HushnoteApp.TextInserterError"; }
    int code() const override { return static_cast<int>(kind_); }

    bool operator==(const TextInserterError&) const = default;

private:
    Kind kind_;
};

} // namespace hushnote
