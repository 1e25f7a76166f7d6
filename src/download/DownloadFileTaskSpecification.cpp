#include "DownloadFileTaskSpecification.h"

#include "CheckSignatureTaskSpecification.h"
#include "Configuration.h"
#include "DownloadTaskSpecification.h"
#include "Mirrors.h"

#include <QFileInfo>
#include <QPointer>

DownloadFileTaskSpecification::DownloadFileTaskSpecification(const FileDownloadSpecification& fileSpec,
                                                             QNetworkAccessManager* manager, Mirrors* mirrors,
                                                             Configuration* configuration, QObject* parent,
                                                             double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , fileSpec(fileSpec)
    , manager(manager)
    , mirrors(mirrors)
    , configuration(configuration)
{
}

void DownloadFileTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::reset()
{
    clearSubTasks();
    downloadTask = nullptr;
    m_siblingCanceled = false;
    TaskSpecification::reset();
}

void DownloadFileTaskSpecification::handleOtherTaskCancelled(TaskSpecification* other)
{
    // A running transfer aborts itself; the check cannot be stopped and ends by its result.
    m_siblingCanceled = true;
    ComposedTaskSpecification::handleOtherTaskCancelled(other);
}

void DownloadFileTaskSpecification::makeSubtasksAndStart()
{
    const QString localPath = configuration->tempDir + QLatin1Char('/') + fileSpec.fileName;
    downloadTask = new DownloadTaskSpecification(manager, mirrors,
                                                 fileSpec.section + QLatin1Char('/') + fileSpec.fileName,
                                                 localPath, qint64(fileSpec.size), this, 0.8);
    addSubTask(downloadTask);
    auto* check = new CheckSignatureTaskSpecification(localPath, fileSpec.md5, false, this, 0.2);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &DownloadFileTaskSpecification::onSigCheckDone);
    addSubTask(check);

    state = StateRunning;
    executeSubTasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*)
{
    if (pass)
        return;
    const QFileInfo local(configuration->tempDir + QLatin1Char('/') + fileSpec.fileName);
    if (!local.isFile() || local.isSymLink()) {
        endWithLostFile(local.filePath());
        return;
    }
    Q_EMIT message(
        QStringLiteral("md5 sum for %1 failed, invalidating mirror and retrying").arg(fileSpec.fileName));
    mirrors->removeMirror(downloadTask->mirror.name);
    if (isUserCanceled) {
        // A retry would forget the request (reset clears it) and the finishing check would pass
        // the bad file off as a success.
        clearSubTasks();
        downloadTask = nullptr;
        userCancel();
        return;
    }
    if (m_siblingCanceled) {
        // The list is ending in error and waits only for this task: a new transfer would hold it
        // up for a whole download.
        clearSubTasks();
        downloadTask = nullptr;
        errorCancel();
        return;
    }
    reset();
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::endWithLostFile(const QString& path)
{
    // The transfer left the file complete in place; that it is gone now is the local side's doing
    // (the temporary folder was removed), which no mirror would mend: the pool stays as it is.
    clearSubTasks();
    downloadTask = nullptr;
    if (isUserCanceled) {
        userCancel();
        return;
    }
    // error() may be shown in a modal box whose event loop can end or release this task.
    const QPointer<DownloadFileTaskSpecification> self(this);
    Q_EMIT error(DownloadTaskSpecification::localFileLostText(path));
    if (self && state == StateRunning)
        errorCancel();
}
