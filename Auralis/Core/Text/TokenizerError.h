#pragma once

#include "Foundation/Error.h"

#include <array>
#include <string>

namespace auralis {

// Why tokenizer files could not be found, read or used.
class TokenizerError : public hushnote::Error {
public:
    enum class Kind { missingFile, malformedFile, unsupportedFeature, downloadUnavailable };

    TokenizerError(Kind kind, std::string message)
        : kind_(kind)
        , message_(std::move(message))
    {
    }

    Kind kind() const noexcept { return kind_; }

    std::string description() const override { return message_; }
    std::string typeName() const override { return "Auralis.TokenizerError"; }
    int code() const override { return static_cast<int>(kind_); }

private:
    Kind kind_;
    std::string message_;
};

inline constexpr std::array kAllTokenizerErrorKinds { TokenizerError::Kind::missingFile,
    TokenizerError::Kind::malformedFile, TokenizerError::Kind::unsupportedFeature,
    TokenizerError::Kind::downloadUnavailable };

} // namespace auralis
