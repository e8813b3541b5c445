#pragma once

#include "Foundation/Error.h"

#include <string>

namespace hushnote {

class OllamaClientError : public Error {
public:
    enum class Kind { httpStatus, modelNotInstalled, cloudModelRejected, invalidResponse };

    static OllamaClientError httpStatus(long statusCode, std::string body)
    {
        return OllamaClientError(Kind::httpStatus, std::move(body), statusCode);
    }
    static OllamaClientError modelNotInstalled(std::string name)
    {
        return OllamaClientError(Kind::modelNotInstalled, std::move(name));
    }
    static OllamaClientError cloudModelRejected(std::string name)
    {
        return OllamaClientError(Kind::cloudModelRejected, std::move(name));
    }
    static OllamaClientError invalidResponse() { return OllamaClientError(Kind::invalidResponse); }

    Kind kind() const noexcept { return kind_; }
    long statusCode() const noexcept { return statusCode_; }
    // The body text for httpStatus, the model name for the model cases.
    const std::string& text() const noexcept { return text_; }

    std::string description() const override;
    std::string typeName() const override { return "HushnoteCore.OllamaClientError"; }
    int code() const override { return static_cast<int>(kind_); }

    bool operator==(const OllamaClientError& other) const
    {
        return kind_ == other.kind_ && text_ == other.text_ && statusCode_ == other.statusCode_;
    }

private:
    explicit OllamaClientError(Kind kind, std::string text = {}, long statusCode = 0)
        : kind_(kind), text_(std::move(text)), statusCode_(statusCode)
    {
    }

    Kind kind_;
    std::string text_;
    long statusCode_;
};

} // namespace hushnote
