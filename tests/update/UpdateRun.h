#pragma once

#include "Configuration.h"
#include "MainTaskSpecification.h"
#include "Mirrors.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <memory>

// One update run driven the way the update engine drives it: a MainTaskSpecification over a mirror
// pool read from a real mirrors.ini, one network access manager, and the once-a-second timeTick()
// that clocks the transfers' stall detection. The installation directory is whatever
// Configuration::getAppRootPath() names (a test's ScratchInstallation).
//
// GUI thread only; the caller spins the event loop (QTRY_*, or an event loop of its own) until
// ended().
class UpdateRun : public QObject
{
    Q_OBJECT
public:
    // Writes `mirrorsIni` listing every base URL of `mirrorUrls` (each a mirror with the version
    // directories below it) and fills the pool from it for `version`.
    UpdateRun(const QString& clientType, int version, const QString& tempDir, const QString& mirrorsIni,
              const QStringList& mirrorUrls, QObject* parent = nullptr);

    // False when the mirrors.ini could not be written or the crypto library not be set up.
    bool isValid() const { return m_valid; }

    // Builds the main task and executes it.
    void start();
    bool ended() const { return m_ended; }
    // The main task; null before start().
    MainTaskSpecification* task() const { return m_task.get(); }
    TaskState state() const { return m_task ? m_task->state : StateIdle; }

    // Every message and error of the run, in order (errors prefixed "error: ").
    QStringList log;
    // Every progress value the root reported, in order.
    QList<double> progress;

    Configuration configuration;
    Mirrors mirrors;
    QNetworkAccessManager manager;

Q_SIGNALS:
    void runEnded();

private:
    void onTick();

    QTimer m_tick;
    std::unique_ptr<MainTaskSpecification> m_task;
    bool m_ended = false;
    bool m_valid = false;
};
