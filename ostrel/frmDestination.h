#pragma once

#include <QWidget>

class QPushButton;

namespace platform {
class DdeTextBox;
} // namespace platform

// The DDE destination test window: links its box to the outside source's text item, pokes the
// box's text back, asks the source to reset, and turns red while the value is above 100.
class frmDestination : public QWidget
{
    Q_OBJECT

public:
    explicit frmDestination(QWidget *parent = nullptr);
    ~frmDestination() override;

    // The window's background (BackColor): red, or the button-face colour it starts with.
    QColor backColor() const;

private:
    void createControls();
    void btnConnect_Click();
    void btnPoke_Click();
    void btnReset_Click();
    void txtConnect_Change();
    void setBackColor(const QColor &colour);

    // Runs one DDE operation; a failure is shown with its number and description and the
    // window carries on.
    template<typename Operation>
    void runReported(const char *procedure, Operation operation);

    platform::DdeTextBox *txtConnect = nullptr;
    QPushButton *btnConnect = nullptr;
    QPushButton *btnReset = nullptr;
    QPushButton *btnPoke = nullptr;
};
