#include "messagebox.h"
#include "support/messagerecorder.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

class TestMessageBox : public QObject
{
    Q_OBJECT

    // The open box showing the text, or any open box when no text is given.
    static QMessageBox *openBox(const QString &text = QString())
    {
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (QWidget *window : windows) {
            auto *box = qobject_cast<QMessageBox *>(window);
            if (box && box->isVisible() && (text.isNull() || box->text() == text))
                return box;
        }
        return nullptr;
    }

private slots:
    void initTestCase() { QApplication::setApplicationName(QStringLiteral("kestrin")); }

    void recorderCapturesCaptionAndText()
    {
        MessageRecorder recorder;
        platform::showMessage(QStringLiteral("Error (frmMain - GetRS232Command) 6: Overflow"));
        QCOMPARE(recorder.captions, QStringList{QStringLiteral("kestrin")});
        QCOMPARE(recorder.messages, QStringList{QStringLiteral("Error (frmMain - GetRS232Command) 6: Overflow")});
    }

    void sameTextIsNotStackedWhileOpen()
    {
        const QString text = QStringLiteral("Kestrin Error (frmMain - ReturnNetworkResult) 10053: refused");
        int shownBoxes = 0;
        int repeatsSeen = -1;
        QString caption;
        // While the first box is open its event loop runs: raise the same text three times
        // and another text once, then press OK on each box.
        QTimer::singleShot(0, this, [&] {
            QMessageBox *first = openBox(text);
            QVERIFY(first);
            ++shownBoxes;
            caption = first->windowTitle();
            for (int i = 0; i < 3; ++i)
                platform::showMessage(text);
            repeatsSeen = platform::repeatsOfOpenMessage(text);
            QTimer::singleShot(0, this, [&] {
                QMessageBox *other = openBox(QStringLiteral("another"));
                QVERIFY(other);
                ++shownBoxes;
                other->button(QMessageBox::Ok)->click();
            });
            platform::showMessage(QStringLiteral("another"));
            first->button(QMessageBox::Ok)->click();
        });
        platform::showMessage(text);
        QCOMPARE(shownBoxes, 2);
        QCOMPARE(repeatsSeen, 3);
        QCOMPARE(caption, QStringLiteral("kestrin"));
        QCOMPARE(platform::repeatsOfOpenMessage(text), 0);
        QVERIFY(!openBox());
    }

    // A peer that fails a thousand times a second: the handler reporting it never waits, and
    // the repeats only count on the one open box.
    void reportReturnsAtOnceAndCountsRepeats()
    {
        const QString text = QStringLiteral("Kestrin Error (frmMain - ReturnRS232Result) 57: not reading");
        for (int i = 0; i < 1000; ++i)
            platform::reportMessage(text);
        QMessageBox *box = openBox(text);
        QVERIFY(box);
        QVERIFY(!box->isModal());
        QCOMPARE(platform::repeatsOfOpenMessage(text), 999);
        QTRY_VERIFY(box->informativeText().contains(QLatin1String("999")));
        box->button(QMessageBox::Ok)->click();
        QTRY_VERIFY(!openBox());
        // Dismissed, the next failure opens a box again.
        platform::reportMessage(text);
        QVERIFY(openBox(text));
        openBox(text)->button(QMessageBox::Ok)->click();
    }
};

QTEST_MAIN(TestMessageBox)
#include "tst_messagebox.moc"
