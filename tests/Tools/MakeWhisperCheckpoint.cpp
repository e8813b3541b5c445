// Writes a generated Whisper checkpoint, for regenerating reference fixtures and for manual
// experiments: make-whisper-checkpoint <dir> [--dtype F32|F16|BF16] [--small]
// --small uses the dimensions of openai/whisper-small instead of the tiny test model.
#include "tests/Support/WhisperCheckpoint.h"

#include <cstring>
#include <exception>
#include <iostream>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << "usage: make-whisper-checkpoint <dir> [--dtype F32|F16|BF16] [--small]\n";
        return 2;
    }
    hushnote::testing::WhisperCheckpointLayout layout;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dtype") == 0 && i + 1 < argc) {
            layout.dtype = argv[++i];
        } else if (std::strcmp(argv[i], "--small") == 0) {
            layout.dModel = 768;
            layout.encoderLayers = 12;
            layout.decoderLayers = 12;
            layout.heads = 12;
            layout.ffnDim = 3072;
            layout.alignmentHeads = { { 5, 3 }, { 5, 9 }, { 8, 0 }, { 8, 4 }, { 8, 7 }, { 8, 8 }, { 9, 0 }, { 9, 7 }, { 9, 9 }, { 10, 5 } };
        } else {
            std::cerr << "make-whisper-checkpoint: unknown argument " << argv[i] << "\n";
            return 2;
        }
    }
    try {
        hushnote::testing::writeWhisperCheckpoint(argv[1], layout);
    } catch (const std::exception& error) {
        std::cerr << "make-whisper-checkpoint: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
