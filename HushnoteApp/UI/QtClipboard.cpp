#include "HushnoteApp/UI/QtClipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

#include <array>
#include <string_view>

namespace hushnote::ui {

namespace {

// Clipboard managers that honour it (Klipper, CopyQ and others) keep the entry out of their
// history: dictated text never lingers there.
constexpr auto kPasswordManagerHint = "x-kde-passwordManagerHint";

class TranscriptMimeData final : public QMimeData {
public:
    explicit TranscriptMimeData(std::function<void()> onRead) : onRead_(std::move(onRead)) {}

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override
    {
        // Called on the GUI thread whenever a reader asks for the text.
        if (onRead_ && mimeType.startsWith(QLatin1String("text/"))) {
            try {
                onRead_();
            } catch (...) {
            }
        }
        return QMimeData::retrieveData(mimeType, type);
    }

private:
    std::function<void()> onRead_;
};

QClipboard& clipboard()
{
    return *QGuiApplication::clipboard();
}

} // namespace

bool QtClipboard::isPseudoTarget(const std::string& type)
{
    static constexpr std::array<std::string_view, 9> kTargets{"TARGETS", "MULTIPLE", "TIMESTAMP", "SAVE_TARGETS",
        "DELETE", "INSERT_SELECTION", "INSERT_PROPERTY", "INCR", "ATOM_PAIR"};
    for (const auto target : kTargets) {
        if (type == target) {
            return true;
        }
    }
    return false;
}

void QtClipboard::wrote()
{
    ++ownWrites_;
    lossCounted_ = false;
}

std::int64_t QtClipboard::changeCount()
{
    // Ownership is lost when another application writes; count that once per own write.
    if (!lossCounted_ && !clipboard().ownsClipboard()) {
        ++losses_;
        lossCounted_ = true;
    }
    return ownWrites_ + losses_;
}

void QtClipboard::setText(const std::string& text)
{
    clipboard().setText(QString::fromStdString(text));
    wrote();
}

ClipboardContents QtClipboard::snapshot()
{
    ClipboardContents contents;
    const QMimeData* data = clipboard().mimeData(QClipboard::Clipboard);
    if (data == nullptr) {
        return contents;
    }
    for (const auto& format : data->formats()) {
        const auto type = format.toStdString();
        if (isPseudoTarget(type)) {
            continue;
        }
        const QByteArray bytes = data->data(format);
        if (bytes.isEmpty()) {
            continue;
        }
        contents.entries.emplace_back(type, bytes.toStdString());
    }
    return contents;
}

bool QtClipboard::offerTranscript(const std::string& text, std::function<void()> onRead)
{
    auto* data = new TranscriptMimeData(std::move(onRead));
    data->setText(QString::fromStdString(text));
    data->setData(QString::fromLatin1(kPasswordManagerHint), QByteArrayLiteral("secret"));
    clipboard().setMimeData(data, QClipboard::Clipboard);
    wrote();
    return clipboard().ownsClipboard();
}

void QtClipboard::restore(const ClipboardContents& saved)
{
    if (saved.empty()) {
        clipboard().clear(QClipboard::Clipboard);
    } else {
        auto* data = new QMimeData();
        for (const auto& [type, bytes] : saved.entries) {
            data->setData(QString::fromStdString(type), QByteArray::fromStdString(bytes));
        }
        clipboard().setMimeData(data, QClipboard::Clipboard);
    }
    wrote();
}

} // namespace hushnote::ui
