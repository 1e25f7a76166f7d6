#include "MainTaskSpecification.h"

#include "DownloadFileListTaskSpecification.h"
#include "FileDeleteListTaskSpecification.h"
#include "FileReplaceListTaskSpecification.h"
#include "IniDownloadTaskSpecification.h"
#include "MakeDownloadReplaceListTaskSpecification.h"

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager* networkAccessManager, Mirrors* mirrors,
                                             Configuration* configuration, QObject* parent, double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , networkAccessManager(networkAccessManager)
    , mirrors(mirrors)
    , configuration(configuration)
{
}

void MainTaskSpecification::execute()
{
    Q_EMIT message(QStringLiteral("Starting update process"));
    makeSubtasksAndStart();
}

void MainTaskSpecification::makeSubtasksAndStart()
{
    addSubTask(new IniDownloadTaskSpecification(networkAccessManager, mirrors, configuration, this, 0.1));
    addSubTask(new MakeDownloadReplaceListTaskSpecification(configuration, fileSpecifications, this, 0.05));
    addSubTask(new DownloadFileListTaskSpecification(&fileSpecifications.downloads, networkAccessManager,
                                                     mirrors, configuration, this, 0.4));
    auto* replaceStage = new FileReplaceListTaskSpecification(
        &fileSpecifications.replaces, &fileSpecifications.deletes, configuration, this, 0.4);
    m_replaceStage = replaceStage;
    addSubTask(replaceStage);
    // Connected after addSubTask(): runs after the start of stage 5 has been queued, and before it
    // is dispatched.
    connect(replaceStage, &TaskSpecification::finished, this, &MainTaskSpecification::onFilesInPlace);
    m_deleteStage = new FileDeleteListTaskSpecification(&fileSpecifications.deletes, this, 0.05);
    addSubTask(m_deleteStage);
    state = StateRunning;
    executeSubTasks();
}

void MainTaskSpecification::onFilesInPlace()
{
    // A cancel that came while the last files were being put in place found nothing left to stop:
    // the stage completed them all. The run is done now, and the deletion stage must still go, or
    // the obsolete files and the old copies would stay for good.
    if (isUserCanceled) {
        isUserCanceled = false;
        // The request was passed to every stage, the waiting deletion stage included.
        if (m_deleteStage)
            m_deleteStage->isUserCanceled = false;
        Q_EMIT message(QStringLiteral("All files are in place; finishing the update"));
    }
}

void MainTaskSpecification::userCanceled()
{
    if (state == StateRunning && m_replaceStage && m_replaceStage->state == StateFinished) {
        Q_EMIT message(QStringLiteral("All files are in place; finishing the update"));
        return;
    }
    ComposedTaskSpecification::userCanceled();
}

void MainTaskSpecification::subtasksDone()
{
    // A cancel during the downloads reaches one transfer as the user's request; the download list
    // then aborts its other transfers as failures, and a failure outranks a user cancel among
    // sub-tasks. The run did not fail, though: the user stopped it, and the engine must tell them
    // apart (a failure offers a restart, a cancel ends the program).
    if (isUserCanceled && getStateFromSubTasks() != StateFinished) {
        userCancel();
        return;
    }
    ComposedTaskSpecification::subtasksDone();
}

void MainTaskSpecification::reset()
{
    clearSubTasks();
    m_replaceStage = nullptr;
    m_deleteStage = nullptr;
    fileSpecifications.clear();
    TaskSpecification::reset();
}
