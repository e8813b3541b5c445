#include "HushnoteCore/DictationState.h"

namespace hushnote {

std::string_view toString(DictationState state)
{
    switch (state) {
    case DictationState::idle: return "idle";
    case DictationState::recording: return "recording";
    case DictationState::finalizingAudio: return "finalizingAudio";
    case DictationState::transcribing: return "transcribing";
    case DictationState::cleaning: return "cleaning";
    case DictationState::inserting: return "inserting";
    case DictationState::failed: return "failed";
    }
    return "idle";
}

std::optional<DictationState> dictationStateFromString(std::string_view text)
{
    for (const auto state : kAllDictationStates) {
        if (toString(state) == text) {
            return state;
        }
    }
    return std::nullopt;
}

std::string_view toString(DictationEvent event)
{
    switch (event) {
    case DictationEvent::functionKeyPressed: return "functionKeyPressed";
    case DictationEvent::functionKeyReleased: return "functionKeyReleased";
    case DictationEvent::audioFinalized: return "audioFinalized";
    case DictationEvent::transcriptReady: return "transcriptReady";
    case DictationEvent::cleanupFinished: return "cleanupFinished";
    case DictationEvent::insertionFinished: return "insertionFinished";
    case DictationEvent::failure: return "failure";
    case DictationEvent::reset: return "reset";
    }
    return "reset";
}

std::string_view toString(FunctionKeyEdge edge)
{
    switch (edge) {
    case FunctionKeyEdge::pressed: return "pressed";
    case FunctionKeyEdge::released: return "released";
    }
    return "released";
}

std::string DictationTransitionError::description() const
{
    return "The operation couldn\u2019t be completed. (HushnoteCore.DictationTransitionError error 0.)";
}

namespace {

// The single successor of each stage on the happy path, and the event that leads there.
struct Step {
    DictationState from;
    DictationEvent event;
    DictationState to;
};

constexpr std::array kHappyPath{
    Step{DictationState::idle, DictationEvent::functionKeyPressed, DictationState::recording},
    Step{DictationState::recording, DictationEvent::functionKeyReleased, DictationState::finalizingAudio},
    Step{DictationState::finalizingAudio, DictationEvent::audioFinalized, DictationState::transcribing},
    Step{DictationState::transcribing, DictationEvent::transcriptReady, DictationState::cleaning},
    Step{DictationState::cleaning, DictationEvent::cleanupFinished, DictationState::inserting},
    Step{DictationState::inserting, DictationEvent::insertionFinished, DictationState::idle},
};

} // namespace

DictationState DictationStateMachine::handle(DictationEvent event)
{
    if (event == DictationEvent::failure) {
        state_ = DictationState::failed;
        return state_;
    }
    if (event == DictationEvent::reset) {
        if (state_ != DictationState::failed) {
            throw DictationTransitionError(state_, event);
        }
        state_ = DictationState::idle;
        return state_;
    }
    for (const auto& step : kHappyPath) {
        if (step.from == state_ && step.event == event) {
            state_ = step.to;
            return state_;
        }
    }
    throw DictationTransitionError(state_, event);
}

std::optional<FunctionKeyEdge> FunctionKeyEdgeTracker::update(bool pressed)
{
    if (pressed == isPressed) {
        return std::nullopt;
    }
    isPressed = pressed;
    return pressed ? FunctionKeyEdge::pressed : FunctionKeyEdge::released;
}

} // namespace hushnote
