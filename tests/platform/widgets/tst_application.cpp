// A failure that escapes an event handler is reported once and the program goes on.

#include "support/messagerecorder.h"

#include "application.h"
#include "errors.h"

#include <QTest>
#include <QTimer>
#include <stdexcept>

class TestApplication : public QObject
{
    Q_OBJECT

private slots:
    void escapedFailuresAreReportedAndEventsGoOn_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("runtime error") << 0 << "Error (probe) 57: Device I/O error";
        QTest::newRow("standard exception") << 1 << "Error (probe) 0: bad state";
    }

    void escapedFailuresAreReportedAndEventsGoOn()
    {
        QFETCH(int, kind);
        QFETCH(QString, message);
        MessageRecorder recorder;
        QObject probe;
        probe.setObjectName(QStringLiteral("probe"));
        QTimer::singleShot(0, &probe, [kind] {
            if (kind == 0)
                throw platform::RuntimeError(platform::ErrorNumber::DeviceIO);
            throw std::runtime_error("bad state");
        });
        bool later = false;
        QTimer::singleShot(1, &probe, [&later] { later = true; });
        QTRY_VERIFY(later);
        QCOMPARE(recorder.messages, QStringList{message});
    }
};

int main(int argc, char *argv[])
{
    platform::Application application(argc, argv);
    TestApplication test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_application.moc"
