#include "DownloadFileListTaskSpecification.h"

#include "Configuration.h"
#include "DownloadFileTaskSpecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <utility>

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(
    QList<FileDownloadSpecification>* fileList, QNetworkAccessManager* manager, Mirrors* mirrors,
    Configuration* configuration, QObject* parent, double weight)
    : ComposedTaskSpecification(configuration->downloadStreams, weight, parent)
    , fileList(fileList)
    , manager(manager)
    , mirrors(mirrors)
    , configuration(configuration)
{
}

void DownloadFileListTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileListTaskSpecification::reset()
{
    clearSubTasks();
    totalBytes = 0;
    TaskSpecification::reset();
}

void DownloadFileListTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal,
                                                 quint64& speed, bool& downloading)
{
    ComposedTaskSpecification::timeTick(downloadDone, downloadTotal, speed, downloading);
    downloadTotal = quint64(totalBytes);
}

bool DownloadFileListTaskSpecification::makeSubDirs()
{
    const QDir tempDir(configuration->tempDir);
    QSet<QString> made {QStringLiteral(".")};
    for (const FileDownloadSpecification& file : std::as_const(*fileList)) {
        const QString dir = QFileInfo(file.fileName).path();
        if (made.contains(dir))
            continue;
        if (!tempDir.mkpath(dir)) {
            Q_EMIT message(
                QStringLiteral("Could not create dir %1")
                    .arg(QFileInfo(configuration->tempDir).canonicalFilePath() + QLatin1Char('/') + dir));
            errorCancel();
            return false;
        }
        made.insert(dir);
    }
    return true;
}

void DownloadFileListTaskSpecification::makeSubtasksAndStart()
{
    if (fileList->isEmpty()) {
        Q_EMIT message(QStringLiteral("No downloads needed"));
        finish();
        return;
    }
    if (!makeSubDirs())
        return;
    Q_EMIT message(QStringLiteral("Downloading files"));
    const double weight = 1.0 / double(fileList->size());
    for (const FileDownloadSpecification& file : std::as_const(*fileList)) {
        addSubTask(new DownloadFileTaskSpecification(file, manager, mirrors, configuration, this, weight));
        totalBytes += qint64(file.size);
    }
    state = StateRunning;
    executeSubTasks();
}
