#pragma once

#include "ComposedTaskSpecification.h"
#include "FileReplaceSpecification.h"
#include "RollbackDataList.h"

#include <QList>
#include <QString>

class Configuration;

// Installs every file of the plan's replace list as one undoable unit.
//
// execute() sends "Starting file updates", creates the missing installation directories first
// (one DirCreateTaskSpecification per missing directory, in sorted order so that a directory comes
// before its subdirectories, 0.1 of the stage between them) and then replaces the files, two at a
// time, with one FileReplaceTaskSpecification each (the rest of the stage shared equally).
//
// rollbackList is the installation's journal: the created directories, then the steps of every
// completed file in the order of completion. When any sub-task fails or the user cancels, no further
// file is started, the running one is let finish, and then "rolling back file updates" is sent and
// the journal undone newest first, so the installation is left as it was; the task then ends
// StateErrorCanceled or StateUserCanceled. On success the journal keeps its entries; reset() undoes
// them.
//
// A replace list that names one installed file twice (after cleaning the path) is refused before
// anything is touched: "Could not replace '<path>': the update names it more than once", then
// StateErrorCanceled.
//
// Both lists are read when the task is executed, not when it is built. GUI thread only.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // The lists and `configuration` are not owned and must outlive the task's run.
    FileReplaceListTaskSpecification(QList<FileReplaceSpecification>* replaceList, QList<QString>* deleteList,
                                     Configuration* configuration, QObject* parent, double weight);

    QList<FileReplaceSpecification>* replaceList;
    QList<QString>* deleteList; // handed to every file task, which appends old copies to it
    RollbackDataList rollbackList; // the installation's journal
    Configuration* configuration;

public Q_SLOTS:
    void execute() override;
    // Discards the sub-tasks, undoes the journal and returns to StateIdle.
    void reset() override;

protected:
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    // Adds one directory task per missing installation directory; returns how many it added.
    int makeSubdirTasks();
    void makeFileReplaceTasks(bool hasDirTasks);
};
