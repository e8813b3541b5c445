#include "HushnoteApp/MicrophoneRecorderError.h"
#include "HushnoteApp/TextInserterError.h"
#include "HushnoteCore/WhisperTranscriberError.h"

#include <gtest/gtest.h>

namespace hushnote {
namespace {

struct ErrorRow {
    std::string description;
    std::string typeName;
    int code;
};

void expectRow(const Error& error, const ErrorRow& row)
{
    SCOPED_TRACE(row.description);
    EXPECT_EQ(error.description(), row.description);
    EXPECT_EQ(error.typeName(), row.typeName);
    EXPECT_EQ(error.domain(), row.typeName);
    EXPECT_EQ(error.code(), row.code);
    EXPECT_STREQ(error.what(), row.description.c_str());
}

TEST(ErrorCatalog, EveryCasePinsItsTextTypeAndCode)
{
    using M = MicrophoneRecorderError::Kind;
    const std::string mic = "HushnoteApp.MicrophoneRecorderError";
    expectRow(MicrophoneRecorderError(M::permissionDenied), {"Microphone permission is required", mic, 0});
    expectRow(MicrophoneRecorderError(M::alreadyRecording), {"Microphone recording is already active", mic, 1});
    expectRow(MicrophoneRecorderError(M::notRecording), {"Microphone recording is not active", mic, 2});
    expectRow(MicrophoneRecorderError(M::failedToStart), {"Microphone recording could not start", mic, 3});
    expectRow(MicrophoneRecorderError(M::emptyRecording), {"Microphone recording did not contain any audio", mic, 4});

    using T = TextInserterError::Kind;
    const std::string ins = "HushnoteApp.TextInserterError";
    expectRow(TextInserterError(T::pasteboardWriteFailed), {"Unable to write transcript to the clipboard", ins, 0});
    expectRow(TextInserterError(T::eventCreationFailed), {"Unable to synthesize Ctrl+V", ins, 1});

    // The payload case counts first.
    const std::string wt = "HushnoteCore.WhisperTranscriberError";
    expectRow(WhisperTranscriberError::requiredModelFileMissing("AudioEncoder.mlmodelc"),
        {"Whisper model directory is missing AudioEncoder.mlmodelc", wt, 0});
    expectRow(WhisperTranscriberError::modelPathMissing(), {"Whisper model directory does not exist", wt, 1});
    expectRow(WhisperTranscriberError::runtimeNotLinked(),
        {"Auralis is not linked. Rebuild with HUSHNOTE_ENABLE_AURALIS=1", wt, 2});
    expectRow(WhisperTranscriberError::emptyTranscript(), {"Whisper returned an empty transcript", wt, 3});
}

} // namespace
} // namespace hushnote
