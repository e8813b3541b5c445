#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace hushnote::testing {

// Every entry under `root` (links not followed) by relative path: "dir", "link -> target",
// or "file <mode> <content>" for regular files, so two listings compare whole trees.
std::map<std::string, std::string> treeListing(const std::filesystem::path& root);

} // namespace hushnote::testing
