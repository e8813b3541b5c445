#include "HushnoteCore/DictationState.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace hushnote {
namespace {

using S = DictationState;
using E = DictationEvent;

// The full transition table, written out cell by cell; nullopt is "error".
const std::map<S, std::vector<std::optional<S>>>& expectedTable()
{
    //                       pressed        released             audioFinal        transcriptRdy  cleanupFin     insertionFin  failure    reset
    static const std::map<S, std::vector<std::optional<S>>> table{
        {S::idle,            {S::recording, {},                  {},               {},            {},            {},           S::failed, {}}},
        {S::recording,       {{},           S::finalizingAudio,  {},               {},            {},            {},           S::failed, {}}},
        {S::finalizingAudio, {{},           {},                  S::transcribing,  {},            {},            {},           S::failed, {}}},
        {S::transcribing,    {{},           {},                  {},               S::cleaning,   {},            {},           S::failed, {}}},
        {S::cleaning,        {{},           {},                  {},               {},            S::inserting,  {},           S::failed, {}}},
        {S::inserting,       {{},           {},                  {},               {},            {},            S::idle,      S::failed, {}}},
        {S::failed,          {{},           {},                  {},               {},            {},            {},           S::failed, S::idle}},
    };
    return table;
}

// Brings a fresh machine into `state` along legal transitions.
DictationStateMachine machineIn(S state)
{
    DictationStateMachine machine;
    if (state == S::failed) {
        machine.handle(E::failure);
        return machine;
    }
    const std::vector<E> path{E::functionKeyPressed, E::functionKeyReleased, E::audioFinalized,
        E::transcriptReady, E::cleanupFinished};
    for (const E event : path) {
        if (machine.state() == state) {
            break;
        }
        machine.handle(event);
    }
    EXPECT_EQ(machine.state(), state);
    return machine;
}

TEST(DictationStateMachine, FollowsEveryCellOfTheTransitionTable)
{
    ASSERT_EQ(expectedTable().size(), kAllDictationStates.size());
    for (const S state : kAllDictationStates) {
        const auto& row = expectedTable().at(state);
        ASSERT_EQ(row.size(), kAllDictationEvents.size());
        for (std::size_t i = 0; i < kAllDictationEvents.size(); ++i) {
            const E event = kAllDictationEvents[i];
            SCOPED_TRACE(std::string(toString(state)) + " + " + std::string(toString(event)));
            auto machine = machineIn(state);
            if (row[i]) {
                EXPECT_EQ(machine.handle(event), *row[i]);
                EXPECT_EQ(machine.state(), *row[i]);
            } else {
                try {
                    machine.handle(event);
                    ADD_FAILURE() << "expected invalidTransition";
                } catch (const DictationTransitionError& error) {
                    EXPECT_EQ(error, DictationTransitionError(state, event));
                }
                EXPECT_EQ(machine.state(), state);
            }
        }
    }
}

TEST(DictationStateMachine, WalksTheHappyPathBackToIdle)
{
    DictationStateMachine machine;
    EXPECT_EQ(machine.state(), S::idle);
    const std::vector<std::pair<E, S>> walk{{E::functionKeyPressed, S::recording},
        {E::functionKeyReleased, S::finalizingAudio}, {E::audioFinalized, S::transcribing},
        {E::transcriptReady, S::cleaning}, {E::cleanupFinished, S::inserting},
        {E::insertionFinished, S::idle}};
    for (const auto& [event, next] : walk) {
        EXPECT_EQ(machine.handle(event), next);
    }
}

TEST(DictationTransitionError, UsesTheGenericWordingAndCodeZero)
{
    const DictationTransitionError error(S::idle, E::reset);
    EXPECT_EQ(error.code(), 0);
    EXPECT_EQ(error.typeName(), "HushnoteCore.DictationTransitionError");
    EXPECT_NE(error.description().find("The operation couldn\u2019t be completed."), std::string::npos);
}

TEST(DictationState, StringFormsRoundTripAndDecodingIsExact)
{
    for (const S state : kAllDictationStates) {
        EXPECT_EQ(dictationStateFromString(toString(state)), state);
    }
    EXPECT_EQ(dictationStateFromString("finalizingAudio"), S::finalizingAudio);
    EXPECT_EQ(dictationStateFromString("Idle"), std::nullopt);
    EXPECT_EQ(dictationStateFromString("idlE"), std::nullopt);
    EXPECT_EQ(dictationStateFromString(""), std::nullopt);
}

TEST(FunctionKeyEdgeTracker, ReportsOnlyChangesOfTheKeyState)
{
    FunctionKeyEdgeTracker tracker;
    EXPECT_EQ(tracker.update(false), std::nullopt);
    const std::vector<std::pair<bool, std::optional<FunctionKeyEdge>>> feed{
        {true, FunctionKeyEdge::pressed}, {true, std::nullopt}, {false, FunctionKeyEdge::released},
        {false, std::nullopt}, {true, FunctionKeyEdge::pressed}};
    for (const auto& [pressed, edge] : feed) {
        EXPECT_EQ(tracker.update(pressed), edge);
    }
    // Forcing the tracker back to "up" makes the next "down" a fresh press.
    tracker.isPressed = false;
    EXPECT_EQ(tracker.update(true), FunctionKeyEdge::pressed);
}

} // namespace
} // namespace hushnote
