#include "HushnoteCore/WhisperModelDescriptor.h"

#include "HushnoteCore/WhisperTranscriberError.h"

#include <system_error>

namespace hushnote {

void WhisperModelDescriptor::validate() const
{
    std::error_code error;
    if (!std::filesystem::is_directory(directory, error)) {
        throw WhisperTranscriberError::modelPathMissing();
    }
    for (const auto name : requiredModelDirectories) {
        if (!std::filesystem::exists(directory / name, error)) {
            throw WhisperTranscriberError::requiredModelFileMissing(std::string(name));
        }
    }
}

bool WhisperModelDescriptor::isValid() const noexcept
{
    try {
        validate();
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace hushnote
