#pragma once

#include "Foundation/Error.h"

#include <string>

namespace hushnote {

// A libcurl transfer that produced no HTTP response (refused connection, time-out, reset).
// Domain "curl", code = the CURLcode.
class HttpTransportError : public Error {
public:
    HttpTransportError(int curlCode, std::string message) : curlCode_(curlCode), message_(std::move(message)) {}

    std::string description() const override { return message_; }
    std::string typeName() const override { return "HushnoteCore.HttpTransportError"; }
    std::string domain() const override { return "curl"; }
    int code() const override { return curlCode_; }

private:
    int curlCode_;
    std::string message_;
};

} // namespace hushnote
