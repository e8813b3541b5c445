#include "HushnoteCore/LocalEndpointError.h"

namespace hushnote {

std::string LocalEndpointError::description() const
{
    switch (kind_) {
    case Kind::remoteHost: return "Cleanup endpoint must use loopback, received " + host_.value_or("missing host");
    case Kind::unsupportedScheme: return "Only loopback HTTP endpoints are supported";
    }
    return "Cleanup endpoint is not local";
}

} // namespace hushnote
