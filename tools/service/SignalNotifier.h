#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

/// Turns SIGHUP, SIGINT and SIGTERM into Qt signals on the event loop, through a self-pipe: the
/// handler only writes the signal's number to a socket pair, and a QSocketNotifier reads it on the
/// main thread, where anything may be done.
///
/// One instance per process; it installs the handlers in install() and leaves them installed.
class SignalNotifier : public QObject
{
    Q_OBJECT

public:
    explicit SignalNotifier(QObject* parent = nullptr);
    ~SignalNotifier() override;

    /// Creates the pipe and installs the handlers; false with *error set when that fails.
    bool install(QString* error);

Q_SIGNALS:
    /// SIGHUP arrived: read the configuration again.
    void hangup();
    /// SIGINT or SIGTERM arrived: stop.
    void terminate(int signalNumber);

private:
    void onReadable();

    std::unique_ptr<QSocketNotifier> m_notifier;
};
