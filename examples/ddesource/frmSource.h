#pragma once

#include "ddesourcehandler.h"

#include <QStringList>
#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QTimer;

namespace platform {
class DdeSource;
} // namespace platform

// A small DDE source: it answers "Source|DDESource" and serves the editable text "txtData",
// accepts pokes into it and the execute "RESET", which sets the value back to 0. It can count
// the value up on its own, and it logs what it received in its window and on standard output.
class frmSource : public QWidget, public platform::DdeSourceHandler
{
    Q_OBJECT

public:
    static constexpr const char *kApplicationName = "Source";
    static constexpr const char *kTopic = "DDESource";
    static constexpr const char *kResetValue = "0";
    static constexpr int kCountStep = 10;

    explicit frmSource(QWidget *parent = nullptr);
    ~frmSource() override;

    platform::DdeSource *source() const { return m_source; }
    // The latest entries received, one per event, as in the window's log.
    const QStringList &received() const { return m_received; }

signals:
    void logged(const QString &entry);

private:
    void createControls();
    void Form_LinkOpen(bool &cancel) override;
    void Form_LinkExecute(const QString &command, bool &cancel) override;
    void Form_LinkPoke(const QString &item, const QString &text, bool &cancel) override;
    void Form_LinkClose();
    void chkCount_Click();
    void tmrCount_Timer();
    void LogReceived(const QString &entry);

    platform::DdeSource *m_source = nullptr;
    QStringList m_received;

    QLabel *lblData = nullptr;
    QLineEdit *txtData = nullptr;
    QCheckBox *chkCount = nullptr;
    QLabel *lblLog = nullptr;
    QPlainTextEdit *txtLog = nullptr;
    QLabel *lblStatus = nullptr;
    QTimer *tmrCount = nullptr;
};
