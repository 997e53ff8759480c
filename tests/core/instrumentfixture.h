#pragma once

#include "frmMain.h"
#include "periodictimer.h"
#include "statusbar.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <memory>

// A fresh instrument window per test, with its controls found by name. Its serial channel is
// disabled: these tests are about the instrument, not about a port.
struct InstrumentFixture
{
    std::unique_ptr<frmMain> window = std::make_unique<frmMain>();

    InstrumentFixture() { window->setCommEnabled(false); }

    template<typename Control = QWidget>
    Control *control(const char *name) const
    {
        auto *found = window->findChild<Control *>(QLatin1String(name));
        if (!found)
            qFatal("no control named %s", name);
        return found;
    }

    QLineEdit *box(const char *name) const { return control<QLineEdit>(name); }
    QString text(const char *name) const { return control<QLineEdit>(name)->text(); }
    QString caption(const char *name) const { return control<QAbstractButton>(name)->text(); }
    QString stateLabel() const { return control<QLabel>("lblState")->text(); }
    QString status() const { return control<platform::StatusBar>("sbrMessage")->simpleText(); }
    platform::PeriodicTimer *timer() const { return control<platform::PeriodicTimer>("tmrDataGen"); }

    void click(const char *name) const { QTest::mouseClick(control<QAbstractButton>(name), Qt::LeftButton); }
    void setText(const char *name, const QString &value) const { box(name)->setText(value); }
    void tick(int count = 1) const
    {
        for (int i = 0; i < count; ++i)
            emit timer()->timeout();
    }
};
