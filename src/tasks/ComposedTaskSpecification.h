#pragma once

#include "TaskSpecification.h"

#include <QList>

// A task made of sub-tasks.
//
// Contract:
// - Sub-tasks are created with this task as QObject parent and handed over with addSubTask(). They
//   are released by clearSubTasks() (deferred deletion) or, at the latest, with this task.
// - executeSubTasks() starts a run: sub-tasks start in the order they were added, each in its own
//   event-loop dispatch (a queued startNextTask()), never more than maxParallelTasks at a time.
//   A sub-task's place is handed to the next pending one only after the call in which it ended
//   has returned, also when it ends inside its own execute().
// - Progress, messages and errors of the sub-tasks reach this task synchronously; messages and
//   errors are re-emitted unchanged, progress is the sum of the sub-tasks' weighted `progress`,
//   weighted again with this task's own weight.
// - When a sub-task ends cancelled, no further sub-task is started and the first such sub-task of
//   the run is broadcast once through otherTaskCancelled() to the other running sub-tasks.
// - subtasksDone() is invoked exactly once per run, when no sub-task runs any more; it ends this
//   task with the state getStateFromSubTasks() yields. A task without sub-tasks ends inside
//   executeSubTasks(), and so does one whose maxParallelTasks is below 1 (StateErrorCanceled).
// - Each executeSubTasks() is a new run: the flags of an earlier run are cleared, and start
//   dispatches that an earlier run, reset() or clearSubTasks() left queued start nothing.
// - A progress event of a sub-task costs the same whatever the number of sub-tasks: the sum is
//   kept up to date with the change the sub-task reports.
//
// Concrete composed tasks build their sub-tasks in execute() and call executeSubTasks(); their
// reset() is clearSubTasks() followed by TaskSpecification::reset().
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    ComposedTaskSpecification(int maxParallelTasks, double weight, QObject* parent);
    // Discards the sub-tasks as clearSubTasks() does; running sub-tasks are not ended or cancelled.
    ~ComposedTaskSpecification() override;

    QList<TaskSpecification*> subTasks; // all sub-tasks, in order of addition
    QList<TaskSpecification*> pendingTasks; // not yet started, in order of addition
    QList<TaskSpecification*> runningTasks; // started and not yet ended, in order of start
    QList<TaskSpecification*> doneTasks; // ended, in order of ending
    int maxParallelTasks;
    bool hasCanceledSubTask; // a sub-task ended cancelled and that has been broadcast
    bool subtasksDoneCalled; // subtasksDone() has been invoked for this run

    // Appends `task` to subTasks and pendingTasks, connects it (connectSignals) and reports the
    // recomputed progress.
    void addSubTask(TaskSpecification* task);
    // Enters StateRunning and queues the start of up to maxParallelTasks pending sub-tasks. Ends the
    // task at once (subtasksDone) when there is nothing it may start.
    void executeSubTasks();
    // The state this task has earned from its sub-tasks, in this order of precedence: any sub-task
    // in StateErrorCanceled; any in StateUserCanceled; all StateFinished (also when there are none);
    // the user's own request; a broadcast cancellation; otherwise StateRunning.
    TaskState getStateFromSubTasks() const;
    // Disconnects every sub-task from this task (both ways), schedules it for deletion and empties
    // the four lists.
    void clearSubTasks();

public Q_SLOTS:
    // Resets every sub-task so that the same sub-tasks can run again, then the base.
    void reset() override;
    // Sums the sub-tasks' figures; a sub-task without an expected total adds only its speed. Ends
    // early, with the sums so far, when a sub-task's tick released this task or its sub-tasks.
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading) override;
    // Records the request and, while running, passes it to every sub-task (pending ones are then
    // never started).
    void userCanceled() override;
    // Passes the news on to the own sub-tasks; sets neither flag.
    void handleOtherTaskCancelled(TaskSpecification* other) override;

protected:
    // Ends the task according to getStateFromSubTasks(). Overrides do their closing work and then
    // call this version.
    virtual void subtasksDone();
    // Connects finished, canceled, error, updateProgress and message of `task` to this task, and
    // this task's otherTaskCancelled to the task.
    virtual void connectSignals(TaskSpecification* task);

Q_SIGNALS:
    void startNextTask();

private Q_SLOTS:
    void onStartNextTask();
    // Recomputes the progress from all sub-tasks and reports it; the argument is not used.
    void onUpdateProgress(qreal doneFrac);
    void onSubTaskFinished(TaskSpecification* task);
    void onSubTaskCanceled(TaskSpecification* task);

private:
    void releaseSubTasks(bool deleteChildren);
    void queueStartNextTask();
    void abandonQueuedStarts();
    void onSubTaskProgress(qsizetype index, TaskSpecification* task);
    void recomputeProgressSum();
    void addToProgressSum(double delta);
    double progressSum() const { return m_progressSum + m_progressCompensation; }

    // Incremental progress: a sub-task's progress event only adds the change since the value this
    // task last accounted for it (m_accountedProgress, parallel to subTasks). The running sum is
    // compensated (Neumaier) so that millions of small changes do not drift from the plain sum.
    QList<double> m_accountedProgress;
    double m_progressSum = 0.0;
    double m_progressCompensation = 0.0;

    // This task's otherTaskCancelled -> sub-task connections, released with the sub-tasks.
    QList<QMetaObject::Connection> m_cancelLinks;

    // startNextTask() dispatches that are still queued, and how many of them belong to an earlier
    // run (to be ignored: they must not start sub-tasks of the current run).
    int m_queuedStarts = 0;
    int m_staleStarts = 0;

    // Counts the releases of the sub-tasks, so that a walk over them can tell that the list it
    // started with was released meanwhile (from an event loop that ran inside a sub-task's call).
    quint64 m_subTaskGeneration = 0;
};
