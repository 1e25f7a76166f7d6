#include "FileReplaceListTaskSpecification.h"

#include "Configuration.h"
#include "DirCreateTaskSpecification.h"
#include "FileReplaceTaskSpecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStringList>

namespace {
// The first installed path that two entries of `replaceList` share, spelled out absolute and
// cleaned; empty when every entry has a name of its own.
QString destinationNamedTwice(const QList<FileReplaceSpecification>& replaceList, const QString& appRoot)
{
    QSet<QString> seen;
    for (const FileReplaceSpecification& entry : replaceList) {
        const QString dest = QDir::cleanPath(appRoot + QLatin1Char('/') + entry.destFileName(QString()));
        if (seen.contains(dest))
            return dest;
        seen.insert(dest);
    }
    return QString();
}
} // namespace

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
    // Two file tasks for one installed name would work on the same name and old copy: the later
    // one takes the earlier one's old copy, which is the installed file, for a stale one and
    // deletes it, and after that no undo can put the installed file back. Such a plan is refused
    // before anything is touched.
    const QString twice = destinationNamedTwice(*replaceList, Configuration::getAppRootPath());
    if (!twice.isEmpty()) {
        Q_EMIT message(
            QStringLiteral("Could not replace '%1': the update names it more than once").arg(twice));
        errorCancel();
        return;
    }
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
