// The window of brallow, driven as a user would through its controls.
#include "exchangefiles.h"
#include "frmFileComm.h"
#include "peerprocess.h"
#include "support/messagerecorder.h"

#include "errors.h"
#include "filedialog.h"
#include "geometry.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using platform::CommonDialog;

namespace {

// Every printable Latin-1 character in turn, so that a byte lost or changed shows.
QString latin1Text(qsizetype length)
{
    QByteArray bytes(length, Qt::Uninitialized);
    for (qsizetype at = 0; at < length; ++at)
        bytes[at] = char(0x20 + at % 0xE0);
    return QString::fromLatin1(bytes);
}

} // namespace

class TestFileCommWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void controls_data();
    void controls();
    void tabOrder();
    void fileDialogs_data();
    void fileDialogs();
    void dialogFailureIsReported_data();
    void dialogFailureIsReported();
    void talksToItself_data();
    void talksToItself();
    void nothingHappensWithoutPaths();
    void closingEndsWaits();

private:
    template<typename Widget>
    Widget *control(const char *name) const
    {
        auto *found = m_window->findChild<Widget *>(QLatin1String(name));
        if (!found)
            qFatal("control %s missing", name);
        return found;
    }
    void click(const char *button) const { QTest::mouseClick(control<QPushButton>(button), Qt::LeftButton); }
    void choose(const char *button, const QString &path);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<frmFileComm> m_window;
    QList<CommonDialog::Request> m_requests;
    std::optional<QString> m_answer;
};

void TestFileCommWindow::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_requests.clear();
    m_answer.reset();
    CommonDialog::setChooser([this](const CommonDialog::Request &request) {
        m_requests << request;
        return m_answer;
    });
    m_window = std::make_unique<frmFileComm>();
    m_window->show();
}

void TestFileCommWindow::cleanup()
{
    m_window.reset();
    CommonDialog::setChooser({});
}

void TestFileCommWindow::choose(const char *button, const QString &path)
{
    m_answer = path;
    click(button);
}

void TestFileCommWindow::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("twips");
    QTest::newRow("btnSend") << "btnSend"
                             << "Send" << QRect(6420, 120, 1335, 375);
    QTest::newRow("txtOut") << "txtOut"
                            << "" << QRect(120, 120, 6255, 315);
    QTest::newRow("txtIn") << "txtIn"
                           << "" << QRect(120, 540, 6255, 315);
    QTest::newRow("btnSetInput") << "btnSetInput"
                                 << "Set Input" << QRect(120, 900, 1335, 375);
    QTest::newRow("btnSetOutput") << "btnSetOutput"
                                  << "Set Output" << QRect(1500, 900, 1335, 375);
    QTest::newRow("btnReceive") << "btnReceive"
                                << "Receive" << QRect(6420, 540, 1335, 375);
}

void TestFileCommWindow::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QRect, twips);
    QCOMPARE(m_window->windowTitle(), QStringLiteral("File Communications"));
    QCOMPARE(m_window->size(), platform::fromTwips(0, 0, 7785, 1365).size());

    auto *widget = m_window->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->geometry(), platform::fromTwips(twips.x(), twips.y(), twips.width(), twips.height()));
    if (auto *button = qobject_cast<QPushButton *>(widget))
        QCOMPARE(button->text(), caption);
    else
        QCOMPARE(qobject_cast<QLineEdit *>(widget)->text(), QString());
}

void TestFileCommWindow::tabOrder()
{
    const QStringList expected{"btnSend", "txtOut", "txtIn", "btnSetInput", "btnSetOutput", "btnReceive", "btnSend"};
    QWidget *current = control<QPushButton>("btnSend");
    QStringList order{current->objectName()};
    for (int step = 1; step < expected.size(); ++step) {
        do {
            current = current->nextInFocusChain();
        } while (!(current->focusPolicy() & Qt::TabFocus));
        order << current->objectName();
    }
    QCOMPARE(order, expected);
}

void TestFileCommWindow::fileDialogs_data()
{
    QTest::addColumn<QByteArray>("button");
    QTest::addColumn<QString>("title");
    QTest::newRow("input") << QByteArray("btnSetInput") << "Please enter the input file for communications";
    QTest::newRow("output") << QByteArray("btnSetOutput") << "Please enter the output file for communications";
}

void TestFileCommWindow::fileDialogs()
{
    QFETCH(QByteArray, button);
    MessageRecorder messages;
    const QString notYetThere = m_dir->filePath(QStringLiteral("new exchange"));

    choose(button.constData(), notYetThere);
    // A cancelled dialog, whether reported or returned unchanged, keeps the path.
    m_answer.reset();
    click(button.constData());
    choose(button.constData(), notYetThere);

    QCOMPARE(m_requests.size(), 3);
    QTEST(m_requests.at(0).title, "title");
    QCOMPARE(m_requests.at(0).nameFilters, QStringList{QStringLiteral("All Files (*)")});
    QVERIFY(!m_requests.at(0).mustExist);
    QCOMPARE(m_requests.at(0).proposal, QString());
    QCOMPARE(m_requests.at(1).proposal, notYetThere);
    QCOMPARE(m_requests.at(2).proposal, notYetThere);
    QVERIFY(m_window->fileComm());
    const QString chosen = button == "btnSetInput" ? m_window->fileComm()->InFile() : m_window->fileComm()->OutFile();
    const QString other = button == "btnSetInput" ? m_window->fileComm()->OutFile() : m_window->fileComm()->InFile();
    QCOMPARE(chosen, notYetThere);
    QCOMPARE(other, QString());
    QCOMPARE(messages.messages, QStringList());
}

void TestFileCommWindow::dialogFailureIsReported_data()
{
    QTest::addColumn<QByteArray>("button");
    QTest::addColumn<QString>("message");
    QTest::newRow("input") << QByteArray("btnSetInput")
                           << "Error (frmFileComm - btnSetInput) 380: Invalid property value";
    QTest::newRow("output") << QByteArray("btnSetOutput")
                            << "Error (frmFileComm - btnSetOutput) 380: Invalid property value";
}

void TestFileCommWindow::dialogFailureIsReported()
{
    QFETCH(QByteArray, button);
    QFETCH(QString, message);
    MessageRecorder messages;
    choose(button.constData(), m_dir->filePath(QStringLiteral("first")));
    CommonDialog::setChooser([](const CommonDialog::Request &) -> std::optional<QString> {
        throw platform::RuntimeError(platform::ErrorNumber::InvalidPropertyValue);
    });
    click(button.constData());
    QCOMPARE(messages.messages, QStringList{message});
    const clsFileComm *comm = m_window->fileComm();
    QCOMPARE(button == "btnSetInput" ? comm->InFile() : comm->OutFile(), m_dir->filePath(QStringLiteral("first")));
}

void TestFileCommWindow::talksToItself_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("a line") << QStringLiteral("hello");
    // Far beyond a line edit's default limit of 32767 characters.
    QTest::newRow("100 000 characters") << latin1Text(100000);
    QTest::newRow("20 MB in two sends") << latin1Text(10 * 1024 * 1024);
}

void TestFileCommWindow::talksToItself()
{
    QFETCH(QString, text);
    const QString file = m_dir->filePath(QStringLiteral("loop"));
    choose("btnSetInput", file);
    choose("btnSetOutput", file);

    auto *txtOut = control<QLineEdit>("txtOut");
    auto *txtIn = control<QLineEdit>("txtIn");
    txtOut->setText(text);
    click("btnSend");
    click("btnSend");
    QCOMPARE(txtOut->text(), text);
    const QByteArray record = text.toLatin1() + '\r';
    QCOMPARE(readBytes(file), record + record);

    click("btnReceive");
    QCOMPARE(txtIn->text(), QString::fromLatin1(record + record));
    click("btnReceive");
    QCOMPARE(txtIn->text(), QString());
}

void TestFileCommWindow::nothingHappensWithoutPaths()
{
    MessageRecorder messages;
    auto *txtIn = control<QLineEdit>("txtIn");
    txtIn->setText(QStringLiteral("stale"));
    QTest::keyClicks(control<QLineEdit>("txtOut"), QStringLiteral("unsent"));
    click("btnSend");
    click("btnReceive");
    QCOMPARE(txtIn->text(), QString());
    QCOMPARE(messages.messages, QStringList());
}

void TestFileCommWindow::closingEndsWaits()
{
    const QString file = m_dir->filePath(QStringLiteral("held"));
    choose("btnSetOutput", file);
    writeExchangeFile(file, QByteArray(), 0644);
    HeldFile held(file);
    QVERIFY(held.waitUntilHeld());
    QTest::keyClicks(control<QLineEdit>("txtOut"), QStringLiteral("late"));

    // A second Send pressed while the first waits, then the window closes inside the second
    // wait: both waits end.
    QObject context;
    held.releaseLater(&context);
    int sendsPressed = 1;
    whileWaiting(&context, *m_window->fileComm(), [&] {
        QTimer::singleShot(0, &context, [this] { m_window->close(); });
        ++sendsPressed;
        click("btnSend");
    });
    click("btnSend");

    QCOMPARE(sendsPressed, 2);
    QVERIFY(!m_window->fileComm()->isWaiting());
    QCOMPARE(readBytes(file), QByteArray());
}

QTEST_MAIN(TestFileCommWindow)
#include "tst_frmfilecomm.moc"
