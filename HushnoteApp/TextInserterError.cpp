#include "HushnoteApp/TextInserterError.h"

namespace hushnote {

std::string TextInserterError::description() const
{
    switch (kind_) {
    case Kind::pasteboardWriteFailed: return "Unable to write transcript to the clipboard";
    // Linux desktops paste with Ctrl+V.
    case Kind::eventCreationFailed: return "Unable to synthesize Ctrl+V";
    }
    return "Unable to insert the transcript";
}

} // namespace hushnote
