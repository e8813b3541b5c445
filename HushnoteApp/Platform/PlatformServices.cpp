#include "HushnoteApp/Platform/PlatformServices.h"

namespace hushnote {

std::string_view toString(PermissionState state)
{
    switch (state) {
    case PermissionState::authorized: return "authorized";
    case PermissionState::denied: return "denied";
    case PermissionState::notDetermined: return "notDetermined";
    }
    return "notDetermined";
}

} // namespace hushnote
