#include "HushnoteApp/DiagnosticsError.h"

#include "Foundation/Error.h"
#include "Foundation/StackTrace.h"

namespace hushnote {

DiagnosticsMetadata DiagnosticsError::metadata(const std::exception_ptr& error)
{
    const auto info = describeError(error);
    return {
        {"errorType", info.typeName},
        {"errorDomain", info.domain},
        {"errorCode", std::to_string(info.code)},
        {"stackTrace", currentStackTrace()},
    };
}

std::string DiagnosticsError::userMessage(const std::exception_ptr& error, const std::string& context)
{
    const auto info = describeError(error);
    const auto& text = info.description;
    const bool generic = text.find("Foundation._GenericObjCError") != std::string::npos
        || text.find("The operation couldn\u2019t be completed.") != std::string::npos
        || text.find("The operation couldn't be completed.") != std::string::npos;
    if (generic) {
        return context + " failed (" + info.domain + " code " + std::to_string(info.code) + ")";
    }
    return context + " failed: " + text;
}

} // namespace hushnote
