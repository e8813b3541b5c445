#pragma once

#include "Auralis/Core/Text/BPETokenizer.h"
#include "Auralis/Core/Text/WhisperTokenizerWrapper.h"

#include <filesystem>
#include <memory>
#include <string>

namespace auralis::testing {

// The real Whisper vocabularies, read at run time from the shared reference folder beside
// the repository (<repo>/../shared/reference/tokenizer; found through
// HUSHNOTE_TEST_SOURCE_DIR = <repo>/tests). Fails the test when the folder is missing.
std::filesystem::path referenceTokenizerDirectory();

// A folder holding only "<kind>-tokenizer.json" renamed to tokenizer.json, for loaders that
// look for that name; kind is "multilingual" or "english". Made once per process.
std::filesystem::path referenceTokenizerFolder(const std::string& kind);

// The tokenizer of that file and its Whisper wrapper, loaded once per process.
const BPETokenizer& referenceTokenizer(const std::string& kind);
const WhisperTokenizerWrapper& referenceWrapper(const std::string& kind);

} // namespace auralis::testing
