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
    addSubTask(new FileReplaceListTaskSpecification(&fileSpecifications.replaces, &fileSpecifications.deletes,
                                                    configuration, this, 0.4));
    addSubTask(new FileDeleteListTaskSpecification(&fileSpecifications.deletes, this, 0.05));
    state = StateRunning;
    executeSubTasks();
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
    fileSpecifications.clear();
    TaskSpecification::reset();
}
