// The plot's window linked to a stand-in of the instrument: lines come through a conversation as
// they come from the instrument, and are looked for where the user looks, in the statistics and
// the picture; the exports go through their dialogs.

#include "plotsymbols.h"
#include "plotwidget.h"
#include "plotwindow.h"
#include "statisticslabel.h"

#include "ddesource.h"
#include "support/messagerecorder.h"

#include <QApplication>
#include <QDir>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

namespace {

// A line is in the picture by the frame (16 ms) after it came, and in the statistics, refreshed
// four times a second, by the frame after the next refresh. The bounds add the slack of a machine
// busy with other work, and stay well short of the second after which lines were seen missing.
constexpr qint64 kShownWithinMilliseconds = 100;
constexpr qint64 kCountedWithinMilliseconds = 400;
// The fewest lines the window takes: over the plot's width, every line has columns of its own.
constexpr int kLinesShown = 100;
constexpr int kGiveUpMilliseconds = 5000;

const QString kOutput = QStringLiteral("txtOutput");

// Runs the event loop until the condition holds, checking it every millisecond, or until the
// deadline; returns the milliseconds it took, or nothing when the deadline passed first.
std::optional<qint64> waitFor(const std::function<bool()> &condition, qint64 deadline = kGiveUpMilliseconds)
{
    QElapsedTimer clock;
    clock.start();
    if (condition())
        return 0;
    QEventLoop loop;
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition() || clock.elapsed() >= deadline)
            loop.quit();
    });
    poll.start();
    loop.exec();
    if (!condition())
        return std::nullopt;
    return clock.elapsed();
}

// Writes the lines into the item `gap` milliseconds apart, the event loop running meanwhile;
// returns right after the last write.
void writeLines(platform::DdeSource &source, const QStringList &lines, int gap)
{
    QEventLoop loop;
    QTimer pace;
    pace.setTimerType(Qt::PreciseTimer);
    pace.setInterval(gap);
    qsizetype written = 0;
    const auto writeNext = [&] {
        source.writeItem(kOutput, lines.at(written++));
        if (written == lines.size())
            loop.quit();
    };
    QObject::connect(&pace, &QTimer::timeout, &loop, writeNext);
    pace.start();
    writeNext();
    if (written < lines.size())
        loop.exec();
}

// The event loop runs and nothing comes, for the given milliseconds.
void stayIdle(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

class tst_PlotWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void everyLineIsShownWithinAFrame_data();
    void everyLineIsShownWithinAFrame();
    void exportCsvSavesUnderTheNameAsTyped_data();
    void exportCsvSavesUnderTheNameAsTyped();

private:
    QPushButton *button(const QString &text) const;
    qint64 countInStatistics() const;
    int newestColumnDrawn() const;
    int columnOfLine(qint64 row) const;

    std::unique_ptr<platform::DdeSource> m_source;
    std::unique_ptr<MessageRecorder> m_messages;
    std::unique_ptr<PlotWindow> m_window;
    PlotWidget *m_plot = nullptr;
    StatisticsLabel *m_statistics = nullptr;
};

void tst_PlotWindow::init()
{
    m_source = std::make_unique<platform::DdeSource>(QStringLiteral("Kestrin"));
    QVERIFY2(m_source->isServing(), qPrintable(m_source->serviceProblem()));
    m_source->addItem(kOutput, QStringLiteral("OK"));
    m_source->setLinkTopic(QStringLiteral("Kestrin"));
    m_source->setLinkMode(platform::DdeSource::kLinkModeSource);
    m_messages = std::make_unique<MessageRecorder>();

    m_window = std::make_unique<PlotWindow>();
    m_window->resize(800, 500);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_plot = m_window->findChild<PlotWidget *>();
    m_statistics = m_window->findChild<StatisticsLabel *>();
    auto *lines = m_window->findChild<QSpinBox *>();
    QVERIFY(m_plot && m_statistics && lines);
    lines->setValue(kLinesShown);

    button(QStringLiteral("Connect"))->click();
    QCOMPARE(m_window->statusBar()->currentMessage(), QStringLiteral("Linked to Kestrin|Kestrin"));
    QCOMPARE(m_messages->messages, QStringList());
}

void tst_PlotWindow::cleanup()
{
    m_window.reset();
    m_messages.reset();
    m_source.reset();
}

QPushButton *tst_PlotWindow::button(const QString &text) const
{
    for (QPushButton *candidate : m_window->findChildren<QPushButton *>()) {
        if (candidate->text() == text)
            return candidate;
    }
    qFatal("no button %s", qPrintable(text));
}

qint64 tst_PlotWindow::countInStatistics() const
{
    static const QRegularExpression firstTrace(QStringLiteral("^Trace 1: count (\\d+),"),
                                               QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = firstTrace.match(m_statistics->text());
    return match.hasMatch() ? match.captured(1).toLongLong() : 0;
}

// The rightmost column of the plot area where the first trace is drawn, in the area's
// coordinates; -1 when it is drawn nowhere.
int tst_PlotWindow::newestColumnDrawn() const
{
    const QImage picture = m_plot->grab().toImage();
    const QRect area = m_plot->plotArea();
    const QRgb trace = traceSymbol(0).color.rgb();
    for (int x = area.right(); x >= area.left(); --x) {
        for (int y = area.top(); y <= area.bottom(); ++y) {
            if (picture.pixel(x, y) == trace)
                return x - area.left();
        }
    }
    return -1;
}

// Where the plot draws the row of that index while the window is not yet full.
int tst_PlotWindow::columnOfLine(qint64 row) const
{
    return int(row * (m_plot->plotArea().width() - 1) / (kLinesShown - 1));
}

void tst_PlotWindow::everyLineIsShownWithinAFrame_data()
{
    QTest::addColumn<int>("idle");  // milliseconds without lines after a first line
    QTest::addColumn<int>("count"); // lines in the burst
    QTest::addColumn<int>("gap");   // milliseconds between them

    QTest::newRow("one line") << 0 << 1 << 0;
    QTest::newRow("two lines 1 ms apart") << 0 << 2 << 1;
    QTest::newRow("three lines 3 ms apart") << 0 << 3 << 3;
    QTest::newRow("five lines 7 ms apart") << 0 << 5 << 7;
    QTest::newRow("eight lines 1 ms apart") << 0 << 8 << 1;
    QTest::newRow("eight lines 5 ms apart") << 0 << 8 << 5;
    QTest::newRow("eight lines 12 ms apart") << 0 << 8 << 12;
    QTest::newRow("eight lines 20 ms apart") << 0 << 8 << 20;
    QTest::newRow("a line after a long idle") << 600 << 1 << 0;
    QTest::newRow("eight lines 1 ms apart after a long idle") << 600 << 8 << 1;
}

// However the lines of a burst are spaced, the last of them is in the statistics and the picture
// by the frame after it came, with no line after it to push it through.
void tst_PlotWindow::everyLineIsShownWithinAFrame()
{
    QFETCH(int, idle);
    QFETCH(int, count);
    QFETCH(int, gap);
    qint64 expected = 0;
    if (idle > 0) {
        writeLines(*m_source, {QStringLiteral("5")}, 0);
        expected = 1;
        QVERIFY(waitFor([&] { return countInStatistics() == expected; }));
        stayIdle(idle);
    }

    QStringList lines;
    for (int line = 0; line < count; ++line)
        lines << QString::number(line % 2 ? 10 : 0);
    writeLines(*m_source, lines, gap);
    expected += count;

    // The item's "OK" that came with the link is the first row.
    const std::optional<qint64> drawn = waitFor([&] { return newestColumnDrawn() == columnOfLine(expected); });
    QVERIFY2(drawn, qPrintable(QStringLiteral("the newest line drawn is in column %1, not %2")
                                   .arg(newestColumnDrawn())
                                   .arg(columnOfLine(expected))));
    QVERIFY2(*drawn <= kShownWithinMilliseconds,
             qPrintable(QStringLiteral("the last line reached the picture after %1 ms").arg(*drawn)));
    const std::optional<qint64> took = waitFor([&] { return countInStatistics() == expected; });
    QVERIFY2(took, qPrintable(QStringLiteral("the statistics count %1 of %2 lines: %3")
                                  .arg(countInStatistics())
                                  .arg(expected)
                                  .arg(m_statistics->text())));
    QVERIFY2(*drawn + *took <= kCountedWithinMilliseconds,
             qPrintable(QStringLiteral("the last line reached the statistics after %1 ms").arg(*drawn + *took)));
}

void tst_PlotWindow::exportCsvSavesUnderTheNameAsTyped_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("without an extension") << QStringLiteral("run-1");
    QTest::newRow("with another extension") << QStringLiteral("run-1.txt");
    QTest::newRow("with the csv extension") << QStringLiteral("run-1.csv");
    QTest::newRow("with a trailing point") << QStringLiteral("run-1.");
}

// Export CSV asks where to save, in a dialog whose button reads Save, and writes the file under
// the very name the user typed.
void tst_PlotWindow::exportCsvSavesUnderTheNameAsTyped()
{
    QFETCH(QString, name);
    writeLines(*m_source, {QStringLiteral("1,2"), QStringLiteral("OK"), QStringLiteral("3,4.5")}, 1);
    QVERIFY(waitFor([&] { return countInStatistics() == 2; }));
    const QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString path = folder.filePath(name);

    // The dialog is modal: it is answered from a timer while it runs.
    std::optional<QFileDialog::AcceptMode> mode;
    QStringList acceptTexts;
    QElapsedTimer waited;
    waited.start();
    QTimer answer;
    answer.setInterval(10);
    connect(&answer, &QTimer::timeout, this, [&] {
        QFileDialog *dialog = nullptr;
        for (QWidget *window : QApplication::topLevelWidgets()) {
            if (auto *candidate = qobject_cast<QFileDialog *>(window); candidate && candidate->isVisible())
                dialog = candidate;
        }
        if (!dialog) {
            if (waited.elapsed() > kGiveUpMilliseconds)
                answer.stop();
            return;
        }
        answer.stop();
        mode = dialog->acceptMode();
        QAbstractButton *accept = nullptr;
        const auto *buttons = dialog->findChild<QDialogButtonBox *>();
        for (QAbstractButton *candidate : buttons->buttons()) {
            if (buttons->buttonRole(candidate) == QDialogButtonBox::AcceptRole) {
                acceptTexts << candidate->text().remove(QLatin1Char('&'));
                accept = candidate;
            }
        }
        auto *fileName = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        fileName->setText(path);
        if (accept)
            accept->click();
        if (dialog->isVisible())
            dialog->reject();
    });
    answer.start();
    button(QStringLiteral("Export CSV..."))->click();

    QVERIFY2(mode, "no file dialog came up");
    QCOMPARE(*mode, QFileDialog::AcceptSave);
    QCOMPARE(acceptTexts, QStringList{QStringLiteral("Save")});
    QCOMPARE(m_messages->messages, QStringList());
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files), QStringList{name});
    QFile written(path);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), QByteArray("x,trace 1,trace 2\n0,1,2\n1,3,4.5\n"));
}

QTEST_MAIN(tst_PlotWindow)
#include "tst_plotwindow.moc"
