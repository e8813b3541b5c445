#pragma once

#include "Foundation/Async.h"
#include "HushnoteApp/Platform/KeystrokeSender.h"
#include "HushnoteApp/Platform/PlatformServices.h"

#include <memory>
#include <string>

namespace hushnote {

// Pastes text into the focused application the way a user would: the text goes on the
// clipboard, the paste keystroke is sent, and the clipboard the user had is put back once the
// target has read the text (ClipboardRestorePolicy), unless another application wrote to the
// clipboard meanwhile. Every member and the delayed restore run on the main loop executor
// given at construction; `clipboard` and `keystrokes` must outlive the inserter.
class TextInserter final : public TextInsertion {
public:
    TextInserter(Executor mainLoop, Clipboard& clipboard, KeystrokeSender& keystrokes);
    ~TextInserter() override;

    TextInserter(const TextInserter&) = delete;
    TextInserter& operator=(const TextInserter&) = delete;

    // Returns once the keystroke is delivered; the restore follows later. Throws
    // TextInserterError after putting the user's clipboard back.
    void insert(const std::string& text) override;

    // Whether a restore is still waiting.
    bool restorePending() const { return pending_ != nullptr; }
    // Runs a waiting restore now (at quit, so no dictation stays on the clipboard).
    void restoreNow();

private:
    struct PendingRestore;

    asio::awaitable<void> waitAndRestore(std::shared_ptr<PendingRestore> job);
    void finish(const std::shared_ptr<PendingRestore>& job);
    void cancelPending();

    Executor mainLoop_;
    Clipboard& clipboard_;
    KeystrokeSender& keystrokes_;
    std::shared_ptr<PendingRestore> pending_;
};

} // namespace hushnote
