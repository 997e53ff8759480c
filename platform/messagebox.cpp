#include "messagebox.h"

#include <QApplication>
#include <QHash>
#include <QMessageBox>
#include <QPointer>

namespace platform {

namespace {

MessageHandler &messageHandler()
{
    static MessageHandler handler;
    return handler;
}

struct OpenBox
{
    QPointer<QMessageBox> box;
    int repeats = 0;
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
    const QString caption = QCoreApplication::applicationName();
    if (messageHandler()) {
        messageHandler()(caption, text);
        return;
    }

    auto &boxes = openBoxes();
    if (auto open = boxes.find(text); open != boxes.end()) {
        ++open->repeats;
        if (open->box)
            open->box->setInformativeText(repeatNote(open->repeats));
        return;
    }

    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, QApplication::activeWindow());
    boxes.insert(text, OpenBox{&box, 0});
    // exec() runs its own event loop, so timers, sockets and other windows go on meanwhile.
    box.exec();
    boxes.remove(text);
}

} // namespace platform
