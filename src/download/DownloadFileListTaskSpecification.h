#pragma once

#include "ComposedTaskSpecification.h"
#include "FileDownloadSpecification.h"

#include <QList>

class Configuration;
class Mirrors;
class QNetworkAccessManager;

// Fetches every file of the plan's download list into the temporary directory, each through a
// DownloadFileTaskSpecification, `downloadStreams` files at a time in list order. First creates the
// subdirectories the files need; a directory that cannot be created ends the task in error before
// any transfer starts. An empty list finishes at once with "No downloads needed".
//
// The transfer figures report the sum of all planned sizes as the total from the first tick on.
//
// GUI thread only. `fileList`, `manager`, `mirrors` and `configuration` are not owned; the list must
// stay unchanged while the task runs.
class DownloadFileListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    DownloadFileListTaskSpecification(QList<FileDownloadSpecification>* fileList,
                                      QNetworkAccessManager* manager, Mirrors* mirrors,
                                      Configuration* configuration, QObject* parent, double weight);

    QList<FileDownloadSpecification>* fileList;
    QNetworkAccessManager* manager;
    Mirrors* mirrors;
    Configuration* configuration;
    // Sum of the planned sizes, computed when the sub-tasks are made; 0 before and after reset().
    qint64 totalBytes = 0;

    void execute() override;
    void reset() override;
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading) override;

    // Creates the directories of the listed files below the temporary directory; on failure ends
    // the task in error and returns false.
    bool makeSubDirs();
    void makeSubtasksAndStart();
};
