#pragma once

#include "ComposedTaskSpecification.h"
#include "FileDownloadSpecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class Mirrors;
class QNetworkAccessManager;

// Fetches one planned file into the temporary directory and checks its MD5. A file that fails the
// check drops the mirror that served it from the pool and is fetched again from another; there is
// no other retry limit, so a file no mirror serves correctly empties the pool and the next transfer
// ends the task in error. A user cancel that arrives while a failing check runs ends the task
// cancelled instead of starting another attempt; a sibling's cancellation at that time ends it in
// error.
//
// A file that is no longer in the temporary directory when its check fails was lost locally, not
// served wrong: the task then ends in error after error(), and the pool is left alone.
//
// Local path: tempDir + "/" + fileName; remote path: section + "/" + fileName. The bad local file
// of a failed attempt is not deleted; the next transfer truncates it.
//
// GUI thread only; `manager`, `mirrors` and `configuration` are not owned and must outlive it.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    DownloadFileTaskSpecification(const FileDownloadSpecification& fileSpec, QNetworkAccessManager* manager,
                                  Mirrors* mirrors, Configuration* configuration, QObject* parent,
                                  double weight);

    FileDownloadSpecification fileSpec;
    QNetworkAccessManager* manager;
    Mirrors* mirrors;
    Configuration* configuration;
    // The transfer of the current attempt; null before the first attempt and after reset().
    DownloadTaskSpecification* downloadTask = nullptr;

    void execute() override;
    // Discards the attempt's sub-tasks; deletes no file.
    void reset() override;
    // Builds and starts one attempt: the transfer, then the MD5 check.
    void makeSubtasksAndStart();
    // Passes the news on to the running sub-task and remembers it: a check that fails afterwards
    // ends this task in error instead of starting another transfer.
    void handleOtherTaskCancelled(TaskSpecification* other) override;

public Q_SLOTS:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* check);

private:
    void endWithLostFile(const QString& path);

    // A sibling was cancelled during this run; cleared by reset().
    bool m_siblingCanceled = false;
};
