#pragma once

#include "HushnoteApp/DiagnosticsLogger.h"

#include <exception>
#include <string>

namespace hushnote {

// Turns any caught exception into log metadata and into the one-line message users see.
struct DiagnosticsError {
    // "errorType", "errorDomain", "errorCode" (decimal) and "stackTrace" (this thread's frames).
    static DiagnosticsMetadata metadata(const std::exception_ptr& error);

    // "<context> failed: <description>", or "<context> failed (<domain> code <code>)" when the
    // description is only the generic "operation couldn't be completed" text.
    static std::string userMessage(const std::exception_ptr& error, const std::string& context);
};

} // namespace hushnote
