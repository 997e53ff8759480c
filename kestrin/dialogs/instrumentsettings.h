#pragma once

#include <QString>
#include <QtGlobal>

// The settings the instrument's dialogs read and apply, and the resets that put them in
// force at once. The window implements it; the dialogs know nothing else of it.
class InstrumentSettings
{
public:
    // Transmission formats
    virtual void setTokenSep(const QString &separator) = 0;
    virtual void setLineTerm(const QString &terminator) = 0;

    // Serial port
    virtual void setCommPort(qint16 port) = 0;
    virtual void setCommSettings(const QString &settings) = 0;
    virtual void setCommEnabled(bool enabled) = 0;
    virtual void ResetRS232Port() = 0;

    // TCP server
    virtual bool networkEnabled() const = 0;
    virtual void setNetworkEnabled(bool enabled) = 0;
    virtual qint16 serverPort() const = 0;
    virtual void setServerPort(qint16 port) = 0;
    virtual void ResetNetworkConnection() = 0;

protected:
    ~InstrumentSettings() = default;
};
