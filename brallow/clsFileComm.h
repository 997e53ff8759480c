#pragma once

#include <QString>

#include <limits>

// Carries text to and from another program through exchange files. A send writes one record
// (the text and a CR) to the output file; a receive takes all unread text of the input file.
// The file's archive attribute marks text not read yet, and the exclusive open of the file is
// the lock between the two programs (see platform/files/). While the other program holds the
// file a call waits, keeping the program's window responsive, until the file is free or the
// wait is cancelled through setCancel().
class clsFileComm
{
public:
    QString OutFile() const { return m_outFile; }
    void setOutFile(const QString &strFile) { m_outFile = strFile; }
    QString InFile() const { return m_inFile; }
    void setInFile(const QString &strFile) { m_inFile = strFile; }
    // Ends the next wait for the other program; SendData clears it when it starts.
    void setCancel(bool blnCancel) { m_cancel = blnCancel; }
    // The most characters the receiving side can take whole. Longer unread text is not
    // received: it stays unread and GetData reports error 14.
    void setMaxReceive(qsizetype characters) { m_maxReceive = characters; }

    // Sends one record. A blank output path does nothing; failures other than the two the
    // protocol waits out or mends are shown as "Error (SendData) <number>: <description>".
    void SendData(const QString &strData);
    // All text sent since the last receive, or an empty string. Failures are shown as
    // "Error (GetData) <number>: <description>" and the text read so far is returned; the
    // content counts as read only once all of it has been taken.
    QString GetData();

    // True while a call waits for the other program to free a file.
    bool isWaiting() const { return m_waitingCalls > 0; }

private:
    // Lets the program handle its pending events once, waiting briefly for one to come;
    // false when the wait was cancelled (the flag is cleared then).
    bool WaitForPeer();
    // Creates the missing output file; false after a failure, which has been shown.
    bool CreateOutFile();

    QString m_outFile;
    QString m_inFile;
    bool m_cancel = false;
    qsizetype m_maxReceive = std::numeric_limits<qsizetype>::max();
    int m_waitingCalls = 0;
};
