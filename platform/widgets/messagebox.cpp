#include "messagebox.h"

#include "eventloop.h"

#include <QApplication>
#include <QHash>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

namespace platform {

namespace {

// A repeat only counts; the open box shows the count at most this often, so a peer that
// fails a thousand times a second costs no relayout per failure.
constexpr int kRepeatNoteInterval = 500; // milliseconds

MessageHandler &messageHandler()
{
    static MessageHandler handler;
    return handler;
}

struct OpenBox
{
    QPointer<QMessageBox> box;
    int repeats = 0;
    int repeatsShown = 0;
};

QHash<QString, OpenBox> &openBoxes()
{
    static QHash<QString, OpenBox> boxes;
    return boxes;
}

QString repeatNote(int repeats)
{
    return repeats == 1 ? QStringLiteral("This message was raised once more while open.")
                        : QStringLiteral("This message was raised %1 more times while open.").arg(repeats);
}

void showRepeatNote(const QString &text)
{
    OpenBox &open = openBoxes()[text];
    if (open.box && open.repeats != open.repeatsShown) {
        open.repeatsShown = open.repeats;
        open.box->setInformativeText(repeatNote(open.repeats));
    }
}

// Counts a repeat of a text whose box is open; false when none is open.
bool countRepeat(const QString &text)
{
    auto &boxes = openBoxes();
    const auto open = boxes.find(text);
    if (open == boxes.end())
        return false;
    if (!open->box) {
        // Its parent window took it down before anyone pressed OK.
        boxes.erase(open);
        return false;
    }
    if (open->repeats++ == open->repeatsShown)
        QTimer::singleShot(kRepeatNoteInterval, open->box, [text] { showRepeatNote(text); });
    return true;
}

// Opens the box for the text and registers it as open until it is dismissed.
QMessageBox *openBox(const QString &text)
{
    auto *box = new QMessageBox(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok,
                                QApplication::activeWindow());
    box->setAttribute(Qt::WA_DeleteOnClose);
    openBoxes().insert(text, OpenBox{box});
    QObject::connect(box, &QMessageBox::finished, box, [text] { openBoxes().remove(text); });
    return box;
}

bool handledElsewhere(const QString &text)
{
    if (!messageHandler())
        return false;
    messageHandler()(QCoreApplication::applicationName(), text);
    return true;
}

} // namespace

void setMessageHandler(MessageHandler handler)
{
    messageHandler() = std::move(handler);
}

int repeatsOfOpenMessage(const QString &text)
{
    return openBoxes().value(text).repeats;
}

void showMessage(const QString &text)
{
    if (handledElsewhere(text) || countRepeat(text))
        return;
    QPointer<QMessageBox> box = openBox(text);
    box->setModal(true);
    box->show();
    // Timers, sockets and other windows keep going while the box waits for OK.
    waitForSignal(box.data(), &QMessageBox::finished);
}

void reportMessage(const QString &text)
{
    if (handledElsewhere(text) || countRepeat(text))
        return;
    // Not modal either: the panel stays usable while the box waits for OK.
    QMessageBox *box = openBox(text);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

} // namespace platform
