#include "HushnoteCore/CleanupGuardFailure.h"

namespace hushnote {

std::string CleanupGuardFailure::description() const
{
    switch (kind_) {
    case Kind::protectedTokenMissing: return "Cleanup removed protected token: " + token_;
    case Kind::emptyOutput: return "Cleanup returned no text";
    case Kind::outputTooLong: return "Cleanup expanded the transcript too much";
    case Kind::outputTooShort: return "Cleanup removed too much transcript content";
    case Kind::tooManyWordsChanged: return "Cleanup changed too many transcript words";
    }
    return "Cleanup was rejected";
}

} // namespace hushnote
