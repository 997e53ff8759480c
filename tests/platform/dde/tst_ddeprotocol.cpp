// The wire format and the socket directory rules of the DDE layer, free of any connection.

#include "ddedirectory.h"
#include "ddeprotocol.h"

#include <QTest>
#include <sys/stat.h>

using namespace platform;

class tst_DdeProtocol : public QObject
{
    Q_OBJECT

private slots:
    void escapeRoundTrip_data();
    void escapeRoundTrip();
    void everyLatin1CharacterTravels_data();
    void everyLatin1CharacterTravels();
    void otherSpellingsOfAByte_data();
    void otherSpellingsOfAByte();
    void badEscapes_data();
    void badEscapes();
    void splitting();
    void lineReader_data();
    void lineReader();
    void overLongLine();
    void directoryProblem_data();
    void directoryProblem();
    void applicationNames_data();
    void applicationNames();
};

void tst_DdeProtocol::escapeRoundTrip_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("escaped");
    QTest::newRow("plain") << "ANALYZE 5"
                           << "ANALYZE 5";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("line break") << "a\nb"
                                << "a\\nb";
    QTest::newRow("carriage return") << "a\rb"
                                     << "a\\rb";
    QTest::newRow("backslash") << "C:\\data\\x.txt"
                               << "C:\\\\data\\\\x.txt";
    QTest::newRow("backslash before n") << "\\n"
                                        << "\\\\n";
    QTest::newRow("not latin") << QString::fromUtf8("µ ≤ 5 — ok") << QString::fromUtf8("µ ≤ 5 — ok");
    QTest::newRow("spaces kept") << "  two  "
                                 << "  two  ";
    QTest::newRow("tab kept") << "a\tb"
                              << "a\tb";
    QTest::newRow("nul") << QString(QChar(0)) << "\\0";
    QTest::newRow("nul before a digit") << QString(QChar(0)) + "7"
                                        << "\\07";
    QTest::newRow("control bytes") << "\x01\x1b[0m\x1f"
                                   << "\\x01\\x1B[0m\\x1F";
    QTest::newRow("latin-1 kept") << QString::fromLatin1("\xff\xdf\x7f\x85") << QString::fromLatin1("\xff\xdf\x7f\x85");
    QTest::newRow("escape look-alike") << "\\x41\\0"
                                       << "\\\\x41\\\\0";
}

void tst_DdeProtocol::escapeRoundTrip()
{
    QFETCH(QString, text);
    QFETCH(QString, escaped);
    QCOMPARE(DdeProtocol::escape(text), escaped);
    QVERIFY(!DdeProtocol::escape(text).contains(QLatin1Char('\n')));
    QCOMPARE(DdeProtocol::unescape(escaped), std::optional<QString>(text));
}

void tst_DdeProtocol::everyLatin1CharacterTravels_data()
{
    QTest::addColumn<QChar>("character");
    for (int code = 0; code <= 0xFF; ++code)
        QTest::addRow("U+%02X", code) << QChar(code);
}

void tst_DdeProtocol::everyLatin1CharacterTravels()
{
    QFETCH(QChar, character);
    const QString text = QStringLiteral("a") + character + QStringLiteral("b") + character;

    const QByteArray line = DdeProtocol::updateLine(QStringLiteral("txtOutput"), text);
    // Nothing on the wire can end the line early or read as the end of a C string.
    for (const char byte : line.chopped(1))
        QVERIFY2(uchar(byte) >= 0x20 || byte == '\t', line.toHex(' ').constData());

    DdeLineReader reader;
    reader.append(line);
    QString received;
    bool valid = false;
    QVERIFY(reader.nextLine(received, valid));
    QVERIFY(valid);
    const DdeProtocol::Message message = DdeProtocol::split(received);
    QString item;
    QString escaped;
    DdeProtocol::splitItem(message.rest, item, escaped);
    QCOMPARE(DdeProtocol::unescape(escaped), std::optional<QString>(text));
}

void tst_DdeProtocol::otherSpellingsOfAByte_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");
    QTest::newRow("lower-case digits") << "\\x1b\\xff" << QString::fromLatin1("\x1b\xff");
    QTest::newRow("nul as a byte") << "\\x00" << QString(QChar(0));
    QTest::newRow("printable as a byte") << "\\x41\\x5c"
                                         << "A\\";
}

void tst_DdeProtocol::otherSpellingsOfAByte()
{
    QFETCH(QString, field);
    QFETCH(QString, text);
    QCOMPARE(DdeProtocol::unescape(field), std::optional<QString>(text));
}

void tst_DdeProtocol::badEscapes_data()
{
    QTest::addColumn<QString>("field");
    QTest::newRow("unknown letter") << "a\\tb";
    QTest::newRow("cut off") << "abc\\";
    QTest::newRow("lone backslash") << "\\";
    QTest::newRow("escaped space") << "\\ ";
    QTest::newRow("byte without digits") << "a\\x";
    QTest::newRow("byte with one digit") << "a\\x4";
    QTest::newRow("byte not hexadecimal") << "a\\xG1b";
    QTest::newRow("byte second not hexadecimal") << "a\\x1 b";
    QTest::newRow("byte upper-case X") << "a\\X41";
}

void tst_DdeProtocol::badEscapes()
{
    QFETCH(QString, field);
    QVERIFY(!DdeProtocol::unescape(field).has_value());
}

void tst_DdeProtocol::splitting()
{
    DdeProtocol::Message message = DdeProtocol::split(QStringLiteral("execute analyze 5"));
    QCOMPARE(message.word, QStringLiteral("EXECUTE"));
    QCOMPARE(message.rest, QStringLiteral("analyze 5"));
    message = DdeProtocol::split(QStringLiteral("EXECUTE"));
    QCOMPARE(message.rest, QString());

    QString item;
    QString text;
    DdeProtocol::splitItem(QStringLiteral("txtData 1 2  3"), item, text);
    QCOMPARE(item, QStringLiteral("txtData"));
    QCOMPARE(text, QStringLiteral("1 2  3"));
    DdeProtocol::splitItem(QStringLiteral("txtData"), item, text);
    QCOMPARE(item, QStringLiteral("txtData"));
    QCOMPARE(text, QString());

    QCOMPARE(DdeProtocol::line(QStringLiteral("ACK")), QByteArray("ACK\n"));
    QCOMPARE(DdeProtocol::line(QStringLiteral("DATA"), QString::fromUtf8("µ")), QByteArray("DATA \xc2\xb5\n"));
}

void tst_DdeProtocol::lineReader_data()
{
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QList<bool>>("valid");
    QTest::newRow("one line") << QByteArrayList{"ACK\n"} << QStringList{"ACK"} << QList<bool>{true};
    QTest::newRow("half then rest") << QByteArrayList{"EXEC", "UTE ON", "\nACK"} << QStringList{"EXECUTE ON"}
                                    << QList<bool>{true};
    QTest::newRow("two in one chunk") << QByteArrayList{"A\nB\n"} << QStringList{"A", "B"} << QList<bool>{true, true};
    QTest::newRow("crlf") << QByteArrayList{"ACK\r\n"} << QStringList{"ACK"} << QList<bool>{true};
    QTest::newRow("empty line") << QByteArrayList{"\n"} << QStringList{""} << QList<bool>{true};
    QTest::newRow("utf-8 split over chunks")
        << QByteArrayList{"DATA \xc2", "\xb5\n"} << QStringList{QString::fromUtf8("DATA µ")} << QList<bool>{true};
    QTest::newRow("not utf-8") << QByteArrayList{"DATA \xff\xfe\n", "ACK\n"} << QStringList{QString(), "ACK"}
                               << QList<bool>{false, true};
    QTest::newRow("nul byte") << QByteArrayList{QByteArray("AB\0C\n", 5)} << QStringList{QString()}
                              << QList<bool>{false};
}

void tst_DdeProtocol::lineReader()
{
    QFETCH(QByteArrayList, chunks);
    QFETCH(QStringList, lines);
    QFETCH(QList<bool>, valid);

    DdeLineReader reader;
    QStringList received;
    QList<bool> receivedValid;
    for (const QByteArray &chunk : chunks) {
        reader.append(chunk);
        QString line;
        bool isValid = false;
        while (reader.nextLine(line, isValid)) {
            received << (isValid ? line : QString());
            receivedValid << isValid;
        }
    }
    QCOMPARE(received, lines);
    QCOMPARE(receivedValid, valid);
    QVERIFY(!reader.overflowed());
}

void tst_DdeProtocol::overLongLine()
{
    constexpr int kLimit = 16;
    QString line;
    bool valid = false;

    DdeLineReader exact(kLimit);
    exact.append(QByteArray(kLimit, 'x') + "\r\n");
    QVERIFY(exact.nextLine(line, valid));
    QCOMPARE(line.size(), kLimit);

    // Without an end in sight the reader gives up once the limit is passed, and stays so.
    DdeLineReader endless(kLimit);
    endless.append(QByteArray(kLimit + 2, 'x'));
    QVERIFY(!endless.nextLine(line, valid));
    QVERIFY(endless.overflowed());
    endless.append("\nACK\n");
    QVERIFY(!endless.nextLine(line, valid));

    DdeLineReader complete(kLimit);
    complete.append(QByteArray(kLimit + 1, 'x') + "\n");
    QVERIFY(!complete.nextLine(line, valid));
    QVERIFY(complete.overflowed());
}

void tst_DdeProtocol::directoryProblem_data()
{
    QTest::addColumn<uint>("owner");
    QTest::addColumn<uint>("mode");
    QTest::addColumn<uint>("user");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("private") << 1000u << uint(S_IFDIR | 0700) << 1000u << true;
    QTest::newRow("private, read-only") << 1000u << uint(S_IFDIR | 0500) << 1000u << true;
    QTest::newRow("root's own") << 0u << uint(S_IFDIR | 0700) << 0u << true;
    QTest::newRow("other owner") << 1001u << uint(S_IFDIR | 0700) << 1000u << false;
    QTest::newRow("root-owned for a user") << 0u << uint(S_IFDIR | 0700) << 1000u << false;
    QTest::newRow("group readable") << 1000u << uint(S_IFDIR | 0750) << 1000u << false;
    QTest::newRow("others searchable") << 1000u << uint(S_IFDIR | 0701) << 1000u << false;
    QTest::newRow("world writable, sticky") << 1000u << uint(S_IFDIR | 01777) << 1000u << false;
    QTest::newRow("a symbolic link") << 1000u << uint(S_IFLNK | 0700) << 1000u << false;
    QTest::newRow("a plain file") << 1000u << uint(S_IFREG | 0600) << 1000u << false;
}

void tst_DdeProtocol::directoryProblem()
{
    QFETCH(uint, owner);
    QFETCH(uint, mode);
    QFETCH(uint, user);
    QFETCH(bool, accepted);
    QCOMPARE(DdeDirectory::problem(owner, mode, user).isEmpty(), accepted);
}

void tst_DdeProtocol::applicationNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid");
    QTest::newRow("plain") << "Kestrin" << true;
    QTest::newRow("with space") << "DDE Source" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("slash") << "../etc" << false;
    QTest::newRow("dot") << "." << false;
    QTest::newRow("dot dot") << ".." << false;
    QTest::newRow("too long") << QString(65, QLatin1Char('a')) << false;
    QTest::newRow("longest") << QString(64, QLatin1Char('a')) << true;
}

void tst_DdeProtocol::applicationNames()
{
    QFETCH(QString, name);
    QFETCH(bool, valid);
    QCOMPARE(DdeDirectory::isValidApplicationName(name), valid);
}

QTEST_GUILESS_MAIN(tst_DdeProtocol)
#include "tst_ddeprotocol.moc"
