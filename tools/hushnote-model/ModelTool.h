#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace hushnote::tools {

// Runs `hushnote-model` with `arguments` (without the program name), writing results to `out`
// and messages to `err`. Returns the exit status: 0 on success, 1 when the command failed,
// 2 for a usage error.
int runModelTool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

// Reads a 16 kHz mono audio file of any format libsndfile opens, as floats in [-1, 1].
// Throws std::runtime_error naming the file when it cannot be read or is not 16 kHz mono.
std::vector<float> readMono16kAudio(const std::string& path);

} // namespace hushnote::tools
