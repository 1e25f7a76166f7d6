#include "FileReplaceTaskSpecification.h"

#include "CheckSignatureTaskSpecification.h"
#include "Configuration.h"
#include "FileCopyTaskSpecification.h"
#include "FileDeleteTaskSpecification.h"
#include "FileRenameTaskSpecification.h"
#include "FileUnzipTaskSpecification.h"

#include <QFile>
#include <QFileInfo>

const QStringList FileReplaceTaskSpecification::executableFiles = {
    QStringLiteral("kv3client_linux_x86"),
    QStringLiteral("kv3client_linux_amd64"),
    QStringLiteral("kv3client_runscript.sh"),
    QStringLiteral("update"),
};

const QStringList FileReplaceTaskSpecification::executableSuffixes = {
    QStringLiteral("so"),
    QStringLiteral("so.4"),
};

namespace {
// Whether something occupies `path`: a link counts even when it points nowhere. QFileInfo::exists()
// follows links, and a dangling one taken for "not installed" would have the unpack write the new
// file through it, to wherever it points, and the undo remove only the link.
bool isTaken(const QString& path)
{
    const QFileInfo info(path);
    return info.isSymLink() || info.exists();
}
} // namespace

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const FileReplaceSpecification& entry,
                                                           QList<QString>* oldFileList,
                                                           RollbackDataList* parentRollbackList,
                                                           Configuration* configuration, QObject* parent,
                                                           double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , spec(entry)
    , oldFileList(oldFileList)
    , parentRollbackList(parentRollbackList)
    , configuration(configuration)
    , movedAside(false)
{
}

void FileReplaceTaskSpecification::execute()
{
    Q_EMIT message(QStringLiteral("add/replace %1").arg(spec.fileName));
    makeSubtasksAndStart();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    const QString appRoot = Configuration::getAppRootPath();
    const QString source = configuration->tempDir + QLatin1Char('/') + spec.fileName;
    const QString dest = appRoot + QLatin1Char('/') + spec.destFileName(QString());
    const QString old = appRoot + QLatin1Char('/') + spec.oldDestFileName();

    double remaining = 1.0;
    if (isTaken(dest)) {
        double base = 1.0;
        // An old copy left by an earlier run is in the way of the rename.
        if (isTaken(old)) {
            addSubTask(new FileDeleteTaskSpecification(true, old, this, 0.1));
            base = 0.9;
        }
        movedAside = true;
        addSubTask(new FileRenameTaskSpecification(dest, old, &rollbackList, this, 0.1));
        remaining = base - 0.1;
    }

    if (spec.hasUnzip()) {
        addSubTask(new FileUnzipTaskSpecification(&rollbackList, source, dest, this, remaining - 0.2));
        addSubTask(new CheckSignatureTaskSpecification(dest, spec.unzipMd5, true, this, 0.2));
    } else {
        addSubTask(new FileCopyTaskSpecification(&rollbackList, source, dest, this, remaining));
    }

    state = StateRunning;
    executeSubTasks();
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (getStateFromSubTasks() != StateFinished) {
        rollbackList.rollback(this);
        ComposedTaskSpecification::subtasksDone();
        return;
    }

    parentRollbackList->appendList(rollbackList);
    if (movedAside && !Configuration::isSpecialFileName(QFileInfo(spec.pureDestFilePath()).fileName()))
        oldFileList->append(spec.oldDestFileName());
    makeSingleFileExecutable(Configuration::getAppRootPath() + QLatin1Char('/')
                             + spec.destFileName(QString()));
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::makeSingleFileExecutable(const QString& filePath)
{
    const QFileInfo info(filePath);
    if (executableFiles.contains(info.fileName()) || executableSuffixes.contains(info.completeSuffix())) {
        // rwxr-xr-x: writable by group or others, any local user could replace the client's
        // programs (and this updater) with their own.
        QFile::setPermissions(filePath,
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser
                                  | QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup
                                  | QFile::ReadOther | QFile::ExeOther);
    }
}

void FileReplaceTaskSpecification::reset()
{
    clearSubTasks();
    rollbackList.rollback(this);
    movedAside = false;
    TaskSpecification::reset();
}
