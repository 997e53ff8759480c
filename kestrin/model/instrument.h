#pragma once

#include "commandline.h"
#include "datagenerator.h"

#include <QObject>
#include <QString>

class GenerationControls;

namespace platform {
class PeriodicTimer;
}

// The instrument without its window: the four states, the command interpreter and the data
// generator. It takes command lines and answers each with one reply line; it tells what it
// shows (the command word, the state, the Output line, a status text) and what it sends (each
// data line) through signals, and knows neither the panel nor the channels.
class Instrument : public QObject
{
    Q_OBJECT

public:
    // `controls` hold the generation settings and outlive the instrument.
    explicit Instrument(GenerationControls &controls, QObject *parent = nullptr);
    ~Instrument() override;

    // The one path of every command: returns its result code and reply line (no code and an
    // empty reply for a blank line).
    CommandResult ExecuteCommand(const QString &commandLine);
    InstrumentState state() const { return m_instrumentState; }

    // The transmission formats: the separator between a data line's values, and the
    // terminator of the lines of the serial and TCP channels.
    QString TokenSep() const { return m_generator.tokenSep(); }
    void setTokenSep(const QString &separator) { m_generator.setTokenSep(separator); }
    QString LineTerm() const { return m_lineTerm; }
    void setLineTerm(const QString &terminator) { m_lineTerm = terminator; }

    void SetGenerationDefaults();

    // The generator's next line now, as the timer's next tick would make it (nothing while Off
    // or Paused): tests and benchmarks step a run line by line without waiting for the timer.
    void tickNow() { tmrDataGen_Timer(); }

signals:
    // The word of a command about to be executed (the panel's Input box).
    void commandReceived(const QString &word);
    // An operation of the state machine succeeded; emitted before its reply leaves, while
    // state() still gives the state it started from.
    void operationPerformed(StateOperation operation);
    void stateChanged(InstrumentState state);
    // Every reply and every data line, in order (the panel's Output box).
    void outputWritten(const QString &text);
    // Every data line, for the channels that stream them.
    void dataLine(const QString &line);
    void statusMessage(const QString &text);

private:
    CommandResult FormatReply(qint16 resultCode, const QString &commandWord = QString());
    qint16 RunStateOperation(StateOperation operation);
    qint16 TurnOn();
    qint16 TurnOff();
    qint16 StartAnalysis();
    qint16 PauseAnalysis();
    qint16 ResumeAnalysis();
    qint16 AbortAnalysis();
    qint16 StopAnalysis();
    void ReadGenerationSettings();
    void tmrDataGen_Timer();
    void WriteOutput(const QString &text);
    qint16 performed(StateOperation operation, const QString &status);

    GenerationControls &m_controls;
    InstrumentState m_instrumentState = InstrumentState::Off;
    QString m_lineTerm = QStringLiteral("\r");
    DataGenerator m_generator;
    platform::PeriodicTimer *tmrDataGen = nullptr;
};
