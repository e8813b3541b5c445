#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace hushnote::tools {

// hushnote-transcribe --model <model-dir> [--language xx] [--word-timestamps]
//     [--sample-length n] [--json] <audio>...
// Prints each file's transcript on a line of its own, or with --json one TranscriptionResult
// object per line. Returns 0 when every file was transcribed, 1 when one failed (the others
// are still transcribed; each failure is reported on `err`), 2 for a usage error.
int runTranscribeTool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

} // namespace hushnote::tools
