#pragma once

#include <exception>
#include <string>

namespace hushnote {

// Root of every error Hushnote throws. Each component's error derives from it and fixes
// three things that diagnostics and the clean-up failure records rely on:
//  - description(): the fixed user-facing text of the case;
//  - typeName(): module-qualified type, "HushnoteCore.CleanupGuardFailure" style;
//  - code(): the case's zero-based position, cases with a payload counted first.
// domain() defaults to typeName(), which is what our own error types report.
class Error : public std::exception {
public:
    ~Error() override = default;

    virtual std::string description() const = 0;
    virtual std::string typeName() const = 0;
    virtual std::string domain() const { return typeName(); }
    virtual int code() const = 0;

    // Cached so that the pointer stays valid for the lifetime of the error.
    const char* what() const noexcept override;

private:
    mutable std::string what_;
};

// Domain, code and texts of any caught exception, in the vocabulary of the diagnostics log.
struct ErrorInfo {
    std::string typeName;
    std::string domain;
    long long code = 0;
    std::string description;
};

// Describes the exception held by `error`. Our own errors report themselves; std::system_error
// maps to "NSPOSIXErrorDomain" with errno for the generic and system categories (the domain
// tooling keys on); other exceptions report their demangled type.
ErrorInfo describeError(const std::exception_ptr& error);

// The demangled dynamic type of an exception, "std::runtime_error" style.
std::string demangledTypeName(const std::exception& error);

} // namespace hushnote
