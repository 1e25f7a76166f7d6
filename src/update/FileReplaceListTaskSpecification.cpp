#include "FileReplaceListTaskSpecification.h"

#include "Configuration.h"
#include "DirCreateTaskSpecification.h"
#include "FileReplaceTaskSpecification.h"

#include <QFileInfo>
#include <QSet>
#include <QStringList>

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(
    QList<FileReplaceSpecification>* replaceList, QList<QString>* deleteList, Configuration* configuration,
    QObject* parent, double weight)
    : ComposedTaskSpecification(2, weight, parent)
    , replaceList(replaceList)
    , deleteList(deleteList)
    , configuration(configuration)
{
}

void FileReplaceListTaskSpecification::execute()
{
    Q_EMIT message(QStringLiteral("Starting file updates"));
    makeSubtasksAndStart();
}

void FileReplaceListTaskSpecification::makeSubtasksAndStart()
{
    const int dirTasks = makeSubdirTasks();
    makeFileReplaceTasks(dirTasks > 0);
    state = StateRunning;
    executeSubTasks();
}

int FileReplaceListTaskSpecification::makeSubdirTasks()
{
    const QString appRoot = Configuration::getAppRootPath();
    QSet<QString> seen;
    QStringList missing;
    for (const FileReplaceSpecification& entry : std::as_const(*replaceList)) {
        const QString dir = QFileInfo(appRoot + QLatin1Char('/') + entry.destFileName(QString())).path();
        if (seen.contains(dir))
            continue;
        seen.insert(dir);
        if (!QFileInfo::exists(dir))
            missing.append(dir);
    }
    // A directory's path is a prefix of its subdirectories' paths, so plain string order creates
    // every directory before the directories below it.
    missing.sort(Qt::CaseSensitive);
    for (const QString& dir : std::as_const(missing))
        addSubTask(new DirCreateTaskSpecification(dir, &rollbackList, this, 0.1 / missing.size()));
    return missing.size();
}

void FileReplaceListTaskSpecification::makeFileReplaceTasks(bool hasDirTasks)
{
    const double weight = (hasDirTasks ? 0.9 : 1.0) / replaceList->size();
    for (const FileReplaceSpecification& entry : std::as_const(*replaceList))
        addSubTask(
            new FileReplaceTaskSpecification(entry, deleteList, &rollbackList, configuration, this, weight));
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    if (getStateFromSubTasks() != StateFinished) {
        Q_EMIT message(QStringLiteral("rolling back file updates"));
        rollbackList.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::reset()
{
    clearSubTasks();
    rollbackList.rollback(this);
    TaskSpecification::reset();
}
