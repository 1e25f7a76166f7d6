#include "FileDeleteListTaskSpecification.h"

#include "Configuration.h"
#include "FileDeleteTaskSpecification.h"

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
    const double weight = 1.0 / deleteList->size();
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
