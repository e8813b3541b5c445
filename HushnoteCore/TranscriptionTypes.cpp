#include "HushnoteCore/TranscriptionTypes.h"

namespace hushnote {

std::string_view toString(TranscriptionDiagnosticStage stage)
{
    switch (stage) {
    case TranscriptionDiagnosticStage::vad: return "vad";
    case TranscriptionDiagnosticStage::speechModel: return "speechModel";
    }
    return "vad";
}

std::string_view toString(TranscriptionDiagnosticStatus status)
{
    switch (status) {
    case TranscriptionDiagnosticStatus::triggered: return "triggered";
    case TranscriptionDiagnosticStatus::succeeded: return "succeeded";
    case TranscriptionDiagnosticStatus::failed: return "failed";
    }
    return "failed";
}

} // namespace hushnote
