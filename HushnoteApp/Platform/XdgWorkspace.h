#pragma once

#include "HushnoteApp/Platform/Workspace.h"

namespace hushnote {

// Opens addresses with xdg-open, which hands them to the desktop's preferred application.
// xdg-open runs detached (it may wait for the application); nothing is left to reap.
class XdgWorkspace final : public Workspace {
public:
    bool open(const std::string& url) override;
};

} // namespace hushnote
