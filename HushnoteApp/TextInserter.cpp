#include "HushnoteApp/TextInserter.h"

#include "HushnoteApp/TextInserterError.h"
#include "HushnoteCore/ClipboardRestorePolicy.h"

#include <asio/experimental/as_tuple.hpp>

#include <chrono>
#include <optional>

namespace hushnote {

struct TextInserter::PendingRestore {
    explicit PendingRestore(const Executor& executor) : timer(executor) {}

    ClipboardContents saved;
    std::int64_t writeCount = 0;
    std::optional<MonotonicTime> pastedAt;
    std::optional<MonotonicTime> lastReadAt;
    bool done = false;
    asio::steady_timer timer;
};

TextInserter::TextInserter(Executor mainLoop, Clipboard& clipboard, KeystrokeSender& keystrokes)
    : mainLoop_(std::move(mainLoop))
    , clipboard_(clipboard)
    , keystrokes_(keystrokes)
{
}

TextInserter::~TextInserter()
{
    cancelPending();
}

void TextInserter::cancelPending()
{
    if (pending_) {
        pending_->done = true;
        pending_->timer.cancel();
        pending_.reset();
    }
}

void TextInserter::insert(const std::string& text)
{
    // While an earlier dictation's restore still waits, the clipboard holds that dictation,
    // not the user's content: carry the user's content over instead of saving our own text.
    ClipboardContents saved;
    if (pending_ && ClipboardRestorePolicy::shouldRestore(pending_->writeCount, clipboard_.changeCount())) {
        saved = std::move(pending_->saved);
    } else {
        saved = clipboard_.snapshot();
    }
    cancelPending();

    auto job = std::make_shared<PendingRestore>(mainLoop_);
    std::weak_ptr<PendingRestore> weakJob = job;
    const bool written = clipboard_.offerTranscript(text, [weakJob] {
        // Reads before the keystroke come from clipboard managers, not from the target.
        if (const auto job = weakJob.lock(); job && job->pastedAt && !job->done) {
            job->lastReadAt = std::chrono::steady_clock::now();
            // The restore moment moves; the waiting restore recomputes it.
            job->timer.cancel();
        }
    });
    if (!written) {
        clipboard_.restore(saved);
        throw TextInserterError(TextInserterError::Kind::pasteboardWriteFailed);
    }
    job->writeCount = clipboard_.changeCount();

    // Set first: the target may read while the keystroke is still being delivered.
    job->pastedAt = std::chrono::steady_clock::now();
    try {
        keystrokes_.sendPaste();
    } catch (...) {
        job->done = true;
        clipboard_.restore(saved);
        throw TextInserterError(TextInserterError::Kind::eventCreationFailed);
    }
    job->saved = std::move(saved);
    pending_ = job;
    asio::co_spawn(mainLoop_, waitAndRestore(job), [](std::exception_ptr) {
        // Nothing in the wait throws except cancellation, which needs no report.
    });
}

asio::awaitable<void> TextInserter::waitAndRestore(std::shared_ptr<PendingRestore> job)
{
    const bool readsReported = clipboard_.reportsReads();
    for (;;) {
        const auto due = ClipboardRestorePolicy::restoreTime(*job->pastedAt, job->lastReadAt, readsReported);
        if (std::chrono::steady_clock::now() >= due) {
            break;
        }
        job->timer.expires_at(due);
        co_await job->timer.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
        // Cancelled by a newer insertion, restoreNow() or the inserter's end; `this` may be gone.
        if (job->done) {
            co_return;
        }
    }
    finish(job);
}

void TextInserter::finish(const std::shared_ptr<PendingRestore>& job)
{
    if (job->done) {
        return;
    }
    job->done = true;
    if (pending_ == job) {
        pending_.reset();
    }
    if (ClipboardRestorePolicy::shouldRestore(job->writeCount, clipboard_.changeCount())) {
        clipboard_.restore(job->saved);
    }
}

void TextInserter::restoreNow()
{
    if (const auto job = pending_) {
        job->timer.cancel();
        finish(job);
    }
}

} // namespace hushnote
