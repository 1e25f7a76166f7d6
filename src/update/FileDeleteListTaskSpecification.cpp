#include "FileDeleteListTaskSpecification.h"

#include "Configuration.h"
#include "FileDeleteTaskSpecification.h"
#include "InstallationSyncTaskSpecification.h"

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QList<QString>* deleteList, QObject* parent,
                                                                 double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , deleteList(deleteList)
{
}

void FileDeleteListTaskSpecification::execute()
{
    Q_EMIT message(QStringLiteral("Starting deleting files"));
    makeSubtasksAndStart();
}

void FileDeleteListTaskSpecification::makeSubtasksAndStart()
{
    const QString appRoot = Configuration::getAppRootPath();
    // Once an old copy is gone, only the new file stands for it: that file, and the folder entry
    // that names it, must survive a power cut first.
    const double syncWeight = deleteList->isEmpty() ? 1.0 : 0.5;
    addSubTask(new InstallationSyncTaskSpecification(appRoot, this, syncWeight));
    const double weight = (1.0 - syncWeight) / deleteList->size();
    for (const QString& entry : std::as_const(*deleteList))
        addSubTask(new FileDeleteTaskSpecification(false, appRoot + QLatin1Char('/') + entry, this, weight));
    state = StateRunning;
    executeSubTasks();
}

void FileDeleteListTaskSpecification::reset()
{
    clearSubTasks();
    TaskSpecification::reset();
}
