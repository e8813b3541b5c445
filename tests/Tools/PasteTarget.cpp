// A stand-in for the applications Hushnote pastes into, for the desktop tests. Prints one line
// per observation on stdout:
//   ready            the text field has the keyboard focus
//   text:<content>   the field's content changed
//   key:ctrl+v       a terminal-like target received Ctrl+V (it would send a literal ^V)
//   offered          (--offer) the clipboard now holds the given types
// Options:
//   --terminal          paste only on Ctrl+Shift+V, as terminals do
//   --read-delay-ms N   read the clipboard N ms after the paste shortcut (a slow application)
//   --offer TYPE=DATA   own the clipboard with these types (repeatable) and show no window

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void say(const QString& line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

class Field final : public QLineEdit {
public:
    Field(bool terminal, int readDelayMs) : terminal_(terminal), readDelayMs_(readDelayMs)
    {
        connect(this, &QLineEdit::textChanged, this, [](const QString& text) { say("text:" + text); });
    }

protected:
    void focusInEvent(QFocusEvent* event) override
    {
        QLineEdit::focusInEvent(event);
        if (!announced_) {
            announced_ = true;
            say("ready");
        }
    }

    void keyPressEvent(QKeyEvent* event) override
    {
        const auto modifiers = event->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier);
        const bool isV = event->key() == Qt::Key_V;
        if (terminal_ && isV && modifiers == Qt::ControlModifier) {
            say("key:ctrl+v");
            return;
        }
        const bool pasteShortcut = isV
            && modifiers == (terminal_ ? (Qt::ControlModifier | Qt::ShiftModifier) : Qt::ControlModifier);
        if (pasteShortcut && (terminal_ || readDelayMs_ > 0)) {
            QTimer::singleShot(readDelayMs_, this, [this] { insert(QGuiApplication::clipboard()->text()); });
            return;
        }
        QLineEdit::keyPressEvent(event);
    }

private:
    bool terminal_;
    int readDelayMs_;
    bool announced_ = false;
};

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication application(argc, argv);
    bool terminal = false;
    int readDelayMs = 0;
    QMimeData* offer = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--terminal") == 0) {
            terminal = true;
        } else if (std::strcmp(argv[i], "--read-delay-ms") == 0 && i + 1 < argc) {
            readDelayMs = std::stoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--offer") == 0 && i + 1 < argc) {
            const QString offerText = QString::fromUtf8(argv[++i]);
            const auto equals = offerText.indexOf('=');
            if (offer == nullptr) {
                offer = new QMimeData();
            }
            offer->setData(offerText.left(equals), offerText.mid(equals + 1).toUtf8());
        }
    }
    if (offer != nullptr) {
        QGuiApplication::clipboard()->setMimeData(offer);
        say("offered");
        return QApplication::exec();
    }
    Field field(terminal, readDelayMs);
    field.resize(400, 40);
    field.show();
    field.activateWindow();
    field.raise();
    field.setFocus();
    return QApplication::exec();
}
