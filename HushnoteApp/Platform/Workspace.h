#pragma once

#include <string>

namespace hushnote {

// The desktop's handlers for addresses and files.
class Workspace {
public:
    virtual ~Workspace() = default;
    // Opens `url` (a web address or a file:// address) with the user's preferred application.
    // Does not wait for it; returns false when no opener could be started.
    virtual bool open(const std::string& url) = 0;
};

} // namespace hushnote
