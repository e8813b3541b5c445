#include "HushnoteApp/Platform/KeystrokeSender.h"

#include "HushnoteApp/TextInserterError.h"

namespace hushnote {

void NoKeystrokeSender::sendPaste()
{
    throw TextInserterError(TextInserterError::Kind::eventCreationFailed);
}

} // namespace hushnote
