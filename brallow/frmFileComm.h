#pragma once

#include "clsFileComm.h"

#include "filedialog.h"

#include <QWidget>
#include <memory>

class QLineEdit;
class QPushButton;

// The window of brallow: pick the input and output exchange files, send the line typed in
// txtOut, and show in txtIn what the other program has sent.
class frmFileComm : public QWidget
{
    Q_OBJECT

public:
    explicit frmFileComm(QWidget *parent = nullptr);
    ~frmFileComm() override;

    // The exchange object, once a button has needed it; null before.
    const clsFileComm *fileComm() const { return m_fileComm.get(); }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    clsFileComm &FileComm();
    // Shows the file dialog for one direction and returns the chosen path; throws
    // RuntimeError, 32755 when the user cancels.
    QString ChooseFile(const QString &current, const QString &title);
    // A window closing while a call waits ends that wait and every wait around it.
    void cancelWaitsIfClosing();

    void btnSetInput_Click();
    void btnSetOutput_Click();
    void btnSend_Click();
    void btnReceive_Click();

    QPushButton *btnSend = nullptr;
    QLineEdit *txtOut = nullptr;
    QLineEdit *txtIn = nullptr;
    QPushButton *btnSetInput = nullptr;
    QPushButton *btnSetOutput = nullptr;
    QPushButton *btnReceive = nullptr;
    platform::CommonDialog cdlFile;

    std::unique_ptr<clsFileComm> m_fileComm;
    bool m_closing = false;
};
