#pragma once

#include "ComposedTaskSpecification.h"
#include "FileSpecifications.h"

#include <QPointer>

class Configuration;
class Mirrors;
class QNetworkAccessManager;

// The root of the task tree of one update run. Owns the run's update plan and runs the five stages
// strictly one after the other, each created with this task as parent:
//
//   1. IniDownloadTaskSpecification (0.1): the product ini and its signature, verified, into the
//      temporary directory;
//   2. MakeDownloadReplaceListTaskSpecification (0.05): the plan, compiled into fileSpecifications;
//   3. DownloadFileListTaskSpecification (0.4): the plan's downloads;
//   4. FileReplaceListTaskSpecification (0.4): the plan's replaces, journalled and undone as a whole
//      on failure or cancel; old copies are appended to the plan's deletes;
//   5. FileDeleteListTaskSpecification (0.05): the plan's deletes.
//
// Each stage reads its part of the plan when it starts. When a stage ends cancelled no later stage
// starts and this task ends at once, StateErrorCanceled or StateUserCanceled; a failure before
// stage 4 has touched only the temporary directory, one in stage 4 has been undone by then. A user
// cancel is passed down with userCanceled(); a run the user asked to stop that does not finish ends
// StateUserCanceled, even when a stage reports the transfers it aborted for it as failures.
// Once stage 4 has finished, every file is in place and the update is done: a cancel from then on
// (or one that stage 4 outlived by completing every file) no longer stops the run; stage 5 runs to
// its end and the run finishes. timeTick() sums the transfer figures of the downloads.
//
// GUI thread only. The manager, the mirror pool and the configuration are not owned and must
// outlive the run.
class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    MainTaskSpecification(QNetworkAccessManager* networkAccessManager, Mirrors* mirrors,
                          Configuration* configuration, QObject* parent, double weight);

    QNetworkAccessManager* networkAccessManager;
    Mirrors* mirrors;
    Configuration* configuration;
    FileSpecifications fileSpecifications; // the run's plan

public Q_SLOTS:
    // Sends "Starting update process" and starts the five stages.
    void execute() override;
    // Discards the stages, empties the plan and returns to StateIdle.
    void reset() override;
    // Passed down while the new version is not yet in place; afterwards only noted in the log.
    void userCanceled() override;

protected:
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    void onFilesInPlace();

    QPointer<TaskSpecification> m_replaceStage; // stage 4 of the current run
    QPointer<TaskSpecification> m_deleteStage; // stage 5 of the current run
};
