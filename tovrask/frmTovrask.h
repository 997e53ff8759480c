#pragma once

#include "instrumentstarter.h"

#include <QDeadlineTimer>
#include <QWidget>
#include <chrono>

class QComboBox;
class QPushButton;
class QTimer;

namespace platform {
class DdeTextBox;
class RuntimeError;
} // namespace platform

// The DDE command client: links its output box to the instrument's output item, starting the
// instrument when none answers, and sends the commands picked or typed into the command box.
class frmTovrask : public QWidget
{
    Q_OBJECT

public:
    explicit frmTovrask(QWidget *parent = nullptr);
    ~frmTovrask() override;

    // Tests point the start at a folder of their own and shorten the wait for a started instrument.
    void setInstrumentStarter(const InstrumentStarter &starter);
    void setStartWait(std::chrono::milliseconds wait);

    // True while a started instrument is being given time to come up.
    bool isWaitingForInstrument() const;

signals:
    // A Connect has come to its end: the link is up, or its failure has been reported.
    void connectFinished();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void createControls();
    void Form_Load();
    void btnConnect_Click();
    void btnExecute_Click();
    void txtOutput_LinkError(int LinkErr);

    // The last step of Connect, asking for the automatic link, with its failure handling.
    void openLink(bool mayStartInstrument);
    void startInstrument();
    void reportConnectFailure(const platform::RuntimeError &failure);
    // Ends a Connect: shows its failure message, if any, and tells that it is over.
    void finishConnect(const QString &message = QString());

    InstrumentStarter m_starter;
    std::chrono::milliseconds m_startWait;
    QDeadlineTimer m_startDeadline;
    QTimer *m_repeatTimer = nullptr;
    // From the click on Connect until that Connect has finished.
    bool m_connecting = false;
    bool m_waitingForInstrument = false;

    QPushButton *btnConnect = nullptr;
    platform::DdeTextBox *txtOutput = nullptr;
    QPushButton *btnExecute = nullptr;
    QComboBox *cmbCommand = nullptr;
};
