#pragma once

#include "ComposedTaskSpecification.h"

#include <QList>
#include <QString>

// Deletes every file of the plan's delete list: the files the new version no longer has and the
// old copies the replacement stage queued. Paths are relative to the installation directory.
//
// execute() sends "Starting deleting files" and first puts the installation on disk (one syncfs()
// of its file system, on the thread pool): the new files and the folder entries naming them survive
// a power cut before any old copy goes. When that fails the stage ends in error and deletes
// nothing. Then it deletes one file per event-loop dispatch, in list order, as the list stands at
// that moment. Best effort: a missing or undeletable file is skipped silently, and nothing is ever
// undone. A user cancel stops it (StateUserCanceled), leaving the files not yet reached. GUI thread
// only.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // `deleteList` is not owned and must outlive the task's run.
    FileDeleteListTaskSpecification(QList<QString>* deleteList, QObject* parent, double weight);

    QList<QString>* deleteList;

public Q_SLOTS:
    void execute() override;
    void reset() override;

private:
    void makeSubtasksAndStart();
};
