#pragma once

#include "HushnoteApp/Platform/PlatformServices.h"

namespace hushnote::ui {

// The desktop clipboard through Qt (on xcb: the X11 CLIPBOARD selection). Reads of the offered
// dictation are reported when another application converts the selection, which Qt serves by
// asking our QMimeData for the data. The change count grows with every write through this
// object and once for each time another application took the clipboard over. GUI thread only.
class QtClipboard final : public Clipboard {
public:
    void setText(const std::string& text) override;
    ClipboardContents snapshot() override;
    bool offerTranscript(const std::string& text, std::function<void()> onRead) override;
    void restore(const ClipboardContents& saved) override;
    std::int64_t changeCount() override;
    bool reportsReads() const override { return true; }

    // X11 selection machinery, not content: never copied.
    static bool isPseudoTarget(const std::string& type);

private:
    void wrote();

    std::int64_t ownWrites_ = 0;
    std::int64_t losses_ = 0;
    bool lossCounted_ = true;
};

} // namespace hushnote::ui
