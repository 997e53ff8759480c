#pragma once

#include <QString>

// Finds and starts the instrument program: first beside the running program, so that the
// programs of one installation go together, then on PATH.
class InstrumentStarter
{
public:
    static constexpr const char *kProgramName = "kestrin";

    // An empty folder stands for the folder of the running program.
    explicit InstrumentStarter(QString besideFolder = QString());

    // Full path of the program file that start() would run; empty when there is none.
    QString findProgram() const;

    // Starts the program detached from this one, so it outlives the client; returns its
    // process identifier, greater than 0 on success and 0 when it could not be started.
    qint64 start() const;

private:
    QString m_besideFolder;
};
