#pragma once

#include "Foundation/Error.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace hushnote {

enum class DictationState {
    idle,
    recording,
    finalizingAudio,
    transcribing,
    cleaning,
    inserting,
    failed,
};

inline constexpr std::array kAllDictationStates{
    DictationState::idle,
    DictationState::recording,
    DictationState::finalizingAudio,
    DictationState::transcribing,
    DictationState::cleaning,
    DictationState::inserting,
    DictationState::failed,
};

// The stable string form is the case name; it is what diagnostics metadata carries.
std::string_view toString(DictationState state);
// Exact, case-sensitive match of a string form; anything else is nullopt.
std::optional<DictationState> dictationStateFromString(std::string_view text);

enum class DictationEvent {
    functionKeyPressed,
    functionKeyReleased,
    audioFinalized,
    transcriptReady,
    cleanupFinished,
    insertionFinished,
    failure,
    reset,
};

inline constexpr std::array kAllDictationEvents{
    DictationEvent::functionKeyPressed,
    DictationEvent::functionKeyReleased,
    DictationEvent::audioFinalized,
    DictationEvent::transcriptReady,
    DictationEvent::cleanupFinished,
    DictationEvent::insertionFinished,
    DictationEvent::failure,
    DictationEvent::reset,
};

std::string_view toString(DictationEvent event);

// An event that does not fit the current state. It has no text of its own, so users see the
// generic wording ("<context> failed (<domain> code 0)").
class DictationTransitionError : public Error {
public:
    DictationTransitionError(DictationState from, DictationEvent event) : from_(from), event_(event) {}

    DictationState from() const noexcept { return from_; }
    DictationEvent event() const noexcept { return event_; }

    std::string description() const override;
    std::string typeName() const override { return "HushnoteCore.DictationTransitionError"; }
    int code() const override { return 0; }

    bool operator==(const DictationTransitionError& other) const
    {
        return from_ == other.from_ && event_ == other.event_;
    }

private:
    DictationState from_;
    DictationEvent event_;
};

// The stages of one dictation as a pure value. Not thread-safe; its owner serialises access.
class DictationStateMachine {
public:
    DictationState state() const noexcept { return state_; }

    // Applies `event` and returns the new state. Throws DictationTransitionError, leaving the
    // state unchanged, when the event does not fit.
    DictationState handle(DictationEvent event);

private:
    DictationState state_ = DictationState::idle;
};

enum class FunctionKeyEdge { pressed, released };

std::string_view toString(FunctionKeyEdge edge);

// Turns repeated key-state observations into single pressed and released edges.
class FunctionKeyEdgeTracker {
public:
    bool isPressed = false;

    std::optional<FunctionKeyEdge> update(bool pressed);
};

} // namespace hushnote
