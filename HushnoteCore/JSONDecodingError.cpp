#include "HushnoteCore/JSONDecodingError.h"

namespace hushnote {

std::string JSONDecodingError::description() const
{
    switch (kind_) {
    case Kind::dataCorrupted: return "The data couldn't be read because it isn't valid JSON.";
    case Kind::keyNotFound: return "The data couldn't be read because it is missing.";
    case Kind::typeMismatch: return "The data couldn't be read because it isn't in the correct format.";
    }
    return "The data couldn't be read.";
}

} // namespace hushnote
