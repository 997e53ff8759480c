#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

// The choices the settings dialogs offer and the texts they take, without widgets: the dialogs
// and the windowless panel apply settings by the same rules.
namespace SettingChoices {

struct Choice
{
    const char *text;
    int value;
};

// The entries of each serial list with their values; the first-named default matches the
// instrument's start-up settings (port 1, "19200,N,8,1").
inline constexpr Choice kCommPorts[] = {{"Port 1", 1}, {"Port 2", 2}};
inline constexpr Choice kBaudRates[] = {
    {"1200", 1200}, {"2400", 2400}, {"9600", 9600}, {"14400", 14400}, {"19200", 19200}};
inline constexpr Choice kParities[] = {{"Even", 'E'}, {"Mark", 'M'}, {"None", 'N'}, {"Odd", 'O'}, {"Space", 'S'}};
inline constexpr Choice kDataBits[] = {{"4", 4}, {"5", 5}, {"6", 6}, {"7", 7}, {"8", 8}};
// Twice the number of stop bits, so that 1.5 is a whole number.
inline constexpr Choice kStopBits[] = {{"1", 2}, {"1.5", 3}, {"2", 4}};

// The settings text of list values, as in "9600,E,7,1.5".
QString serialSettingsText(int baudRate, int parityCode, int dataBits, int doubledStopBits);

// The transmission formats' named entries and the characters each stands for.
struct Format
{
    const char *text;
    const char *characters;
};
inline constexpr Format kTokenSeparators[] = {{"<Comma>", ","}, {"<Tab>", "\t"}, {"<Space>", " "}};
inline constexpr Format kLineTerminators[] = {{"<CR>", "\r"}, {"<LF>", "\n"}, {"<CR><LF>", "\r\n"}};

// The separator an entry's name stands for, or the text as typed, blanks trimmed.
QString tokenSeparatorFromText(const QString &text);
// The terminator an entry's name stands for, or the text as typed, blanks trimmed. None for a
// text that is empty once trimmed: the channels cut received text at the terminator, so the
// terminator in force stays.
std::optional<QString> lineTerminatorFromText(const QString &text);
// What a format list shows for the characters in force: the entry's name, or the characters.
QString tokenSeparatorText(const QString &separator);
QString lineTerminatorText(const QString &terminator);

// The refusal of a server port that is a number out of range, word for word as the dialog
// shows it.
inline const QString kServerPortRefusal = QStringLiteral("The server port must be a number from 1 to 32767.");
// The server port a typed text gives: `current` for a text that is no number (the port stays),
// none for a number out of range.
std::optional<qint16> serverPortFromText(const QString &text, qint16 current);

} // namespace SettingChoices
