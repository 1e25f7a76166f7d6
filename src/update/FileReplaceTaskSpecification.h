#pragma once

#include "ComposedTaskSpecification.h"
#include "FileReplaceSpecification.h"
#include "RollbackDataList.h"

#include <QList>
#include <QString>
#include <QStringList>

class Configuration;

// Puts one file of the update plan in place in the installation directory.
//
// Sub-tasks, one at a time: when the installed file exists (a link counts, even one that points
// nowhere: it is moved aside, never written through), a stale old copy ("_old_" name) is
// deleted (a failed delete fails the task) and the installed file is renamed to its old-copy name;
// then the download is copied from the temporary directory to the installed name, or, for a packed
// entry, unpacked there and checked against spec.unzipMd5.
//
// Every step goes to the task's own journal. When a step fails or the user cancels, the own
// journal is undone at once (new file removed, old copy renamed back) and the task ends
// StateErrorCanceled or StateUserCanceled. On success, and only then, the entries are appended to
// *parentRollbackList (so the list can undo this file later), the old copy is queued in
// *oldFileList for deletion unless the file is a special file (its old copy stays for the next
// start), program files get mode 0755, and the task finishes.
//
// GUI thread only; the copy, unpack and check bodies run on the global thread pool. *oldFileList and
// *parentRollbackList are changed only in subtasksDone().
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // `oldFileList`, `parentRollbackList` (never null) and `configuration` are not owned and must
    // outlive the task's run.
    FileReplaceTaskSpecification(const FileReplaceSpecification& entry, QList<QString>* oldFileList,
                                 RollbackDataList* parentRollbackList, Configuration* configuration,
                                 QObject* parent, double weight);

    // Last path components that are made executable after a replacement, compared with case.
    static const QStringList executableFiles;
    // Complete suffixes (everything after the first "." of the last component) made executable.
    static const QStringList executableSuffixes;

    FileReplaceSpecification spec;
    QList<QString>* oldFileList;
    RollbackDataList* parentRollbackList;
    RollbackDataList rollbackList; // this file's own journal
    Configuration* configuration;
    bool movedAside; // the installed file existed and a rename to its old-copy name was planned

    // Gives filePath mode 0755 (rwxr-xr-x) when its last component is one of executableFiles or its complete
    // suffix one of executableSuffixes; other files keep their permissions. The outcome is not
    // checked.
    static void makeSingleFileExecutable(const QString& filePath);

public Q_SLOTS:
    // Sends "add/replace <fileName>" and starts the sub-tasks.
    void execute() override;
    // Discards the sub-tasks, undoes whatever the own journal still holds, and returns to StateIdle.
    void reset() override;

protected:
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
};
