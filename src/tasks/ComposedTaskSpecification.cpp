#include "ComposedTaskSpecification.h"

#include <QPointer>
#include <QtMath>

#include <algorithm>

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallelTasks, double weight, QObject* parent)
    : TaskSpecification(parent, weight)
    , maxParallelTasks(maxParallelTasks)
    , hasCanceledSubTask(false)
    , subtasksDoneCalled(false)
{
    // Queued on purpose: every sub-task starts in its own dispatch, after the call in which the
    // previous one ended has returned, so that deep chains of quick tasks do not recurse.
    connect(this, &ComposedTaskSpecification::startNextTask, this,
            &ComposedTaskSpecification::onStartNextTask, Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    // Sub-tasks that are still this task's children are deleted by ~QObject right after this;
    // scheduling them for deletion as well would only make every one of those deletions search
    // the thread's queue of posted events for its own, quadratic in the number of sub-tasks.
    releaseSubTasks(false);
}

void ComposedTaskSpecification::addSubTask(TaskSpecification* task)
{
    subTasks.append(task);
    pendingTasks.append(task);
    m_accountedProgress.append(task->progress);
    // Adding to the running sum, instead of recounting every sub-task, keeps building a long list
    // linear; the sum is recomputed from scratch whenever the lists are reset or cleared.
    addToProgressSum(task->progress);
    connectSignals(task);
    setProgress(progressSum());
}

void ComposedTaskSpecification::connectSignals(TaskSpecification* task)
{
    connect(task, &TaskSpecification::finished, this, &ComposedTaskSpecification::onSubTaskFinished);
    connect(task, &TaskSpecification::canceled, this, &ComposedTaskSpecification::onSubTaskCanceled);
    connect(task, &TaskSpecification::error, this, &TaskSpecification::error);
    // The index lets a progress event update the sum in constant time instead of adding up every
    // sub-task. A task connected here without having been added falls back to a full recount.
    const qsizetype index = subTasks.lastIndexOf(task);
    connect(task, &TaskSpecification::updateProgress, this,
            [this, index, task](qreal) { onSubTaskProgress(index, task); });
    connect(task, &TaskSpecification::message, this, &TaskSpecification::message);
    // The slot is protected in the base; naming it through this class is what grants access.
    m_cancelLinks.append(connect(this, &TaskSpecification::otherTaskCancelled, task,
                                 &ComposedTaskSpecification::onOtherTaskCancelled));
}

void ComposedTaskSpecification::executeSubTasks()
{
    state = StateRunning;
    // A new run: forget the outcome of an earlier one (concrete tasks reset with clearSubTasks(),
    // which would otherwise leave a finished run's flags behind and the next run could never end),
    // and ignore start dispatches an earlier run still has queued.
    hasCanceledSubTask = false;
    subtasksDoneCalled = false;
    abandonQueuedStarts();

    // A negative limit is treated like 0: the task ends at once instead of never.
    const qsizetype n = std::max<qsizetype>(0, std::min<qsizetype>(pendingTasks.size(), maxParallelTasks));
    if (n == 0) {
        subtasksDoneCalled = true;
        subtasksDone();
        return;
    }
    for (qsizetype i = 0; i < n; ++i)
        queueStartNextTask();
}

void ComposedTaskSpecification::queueStartNextTask()
{
    ++m_queuedStarts;
    Q_EMIT startNextTask();
}

void ComposedTaskSpecification::onStartNextTask()
{
    if (m_queuedStarts > 0)
        --m_queuedStarts;
    if (m_staleStarts > 0) {
        --m_staleStarts;
        return;
    }

    if (!pendingTasks.isEmpty() && !hasCanceledSubTask && !isUserCanceled) {
        TaskSpecification* task = pendingTasks.takeFirst();
        runningTasks.append(task);
        task->execute();
        return;
    }
    if (runningTasks.isEmpty() && !subtasksDoneCalled) {
        subtasksDoneCalled = true;
        subtasksDone();
    }
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification* task)
{
    if (runningTasks.removeOne(task)) {
        doneTasks.append(task);
        queueStartNextTask();
    } else if (pendingTasks.removeOne(task)) {
        // Ended without being started: it held no place, so it frees none.
        doneTasks.append(task);
    }
    // Otherwise a second end signal of a task that has already ended: it must not free a place twice.
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification* task)
{
    if (!runningTasks.removeOne(task) && !pendingTasks.removeOne(task))
        return; // already ended once in this run
    doneTasks.append(task);

    if (!hasCanceledSubTask) {
        hasCanceledSubTask = true;
        // Synchronous: running siblings may end, and re-enter this slot, before emit returns.
        Q_EMIT otherTaskCancelled(task);
    }
    if (runningTasks.isEmpty() && !subtasksDoneCalled) {
        subtasksDoneCalled = true;
        subtasksDone();
    }
}

void ComposedTaskSpecification::onUpdateProgress(qreal)
{
    recomputeProgressSum();
    setProgress(progressSum());
}

void ComposedTaskSpecification::onSubTaskProgress(qsizetype index, TaskSpecification* task)
{
    if (index < 0 || index >= subTasks.size() || subTasks.at(index) != task) {
        onUpdateProgress(0);
        return;
    }
    double& accounted = m_accountedProgress[index];
    addToProgressSum(task->progress - accounted);
    accounted = task->progress;
    setProgress(progressSum());
}

void ComposedTaskSpecification::recomputeProgressSum()
{
    m_progressSum = 0.0;
    m_progressCompensation = 0.0;
    for (qsizetype i = 0; i < subTasks.size(); ++i) {
        const double p = subTasks.at(i)->progress;
        m_accountedProgress[i] = p;
        addToProgressSum(p);
    }
}

void ComposedTaskSpecification::addToProgressSum(double delta)
{
    const double t = m_progressSum + delta;
    if (qAbs(m_progressSum) >= qAbs(delta))
        m_progressCompensation += (m_progressSum - t) + delta;
    else
        m_progressCompensation += (delta - t) + m_progressSum;
    m_progressSum = t;
}

TaskState ComposedTaskSpecification::getStateFromSubTasks() const
{
    for (const TaskSpecification* task : subTasks) {
        if (task->state == StateErrorCanceled)
            return StateErrorCanceled;
    }
    bool allFinished = true;
    for (const TaskSpecification* task : subTasks) {
        if (task->state == StateUserCanceled)
            return StateUserCanceled;
        if (task->state != StateFinished)
            allFinished = false;
    }
    if (allFinished)
        return StateFinished;
    if (isUserCanceled)
        return StateUserCanceled;
    if (hasCanceledSubTask)
        return StateErrorCanceled;
    return StateRunning;
}

void ComposedTaskSpecification::subtasksDone()
{
    switch (getStateFromSubTasks()) {
    case StateFinished:
        finish();
        break;
    case StateUserCanceled:
        userCancel();
        break;
    default:
        errorCancel();
        break;
    }
}

void ComposedTaskSpecification::clearSubTasks()
{
    releaseSubTasks(true);
}

void ComposedTaskSpecification::releaseSubTasks(bool deleteChildren)
{
    for (TaskSpecification* task : std::as_const(subTasks)) {
        disconnect(task, nullptr, this, nullptr);
        // Deferred: the task may be inside one of its own signals right now.
        if (deleteChildren || task->parent() != this)
            task->deleteLater();
    }
    // A discarded task must not hear of later cancellations either. Through the handles: a
    // disconnect by receiver would walk this signal's whole receiver list for every task.
    for (const QMetaObject::Connection& link : std::as_const(m_cancelLinks))
        disconnect(link);
    m_cancelLinks.clear();
    ++m_subTaskGeneration;
    subTasks.clear();
    pendingTasks.clear();
    runningTasks.clear();
    doneTasks.clear();
    m_accountedProgress.clear();
    m_progressSum = 0.0;
    m_progressCompensation = 0.0;
    abandonQueuedStarts();
}

void ComposedTaskSpecification::abandonQueuedStarts()
{
    // Queued dispatches cannot be taken back; they are counted off when they arrive instead.
    m_staleStarts = m_queuedStarts;
}

void ComposedTaskSpecification::reset()
{
    // A sub-task's reset may end up in user code; iterate over a snapshot.
    const QList<TaskSpecification*> tasks = subTasks;
    for (TaskSpecification* task : tasks)
        task->reset();
    pendingTasks = subTasks;
    runningTasks.clear();
    doneTasks.clear();
    hasCanceledSubTask = false;
    subtasksDoneCalled = false;
    abandonQueuedStarts();
    recomputeProgressSum();
    TaskSpecification::reset();
}

void ComposedTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                                         bool& downloading)
{
    downloading = false;
    // A sub-task's tick may report an error (a transfer whose retry cannot create its file), which
    // the window shows in a modal box: its event loop can release the sub-tasks, or the whole tree,
    // before the call returns. The walk therefore holds guarded pointers and stops as soon as this
    // task is gone or its list of sub-tasks was released: what follows may be deleted, or at least
    // is no longer part of this task.
    QList<QPointer<TaskSpecification>> tasks;
    tasks.reserve(subTasks.size());
    for (TaskSpecification* task : std::as_const(subTasks))
        tasks.append(task);
    const QPointer<ComposedTaskSpecification> self(this);
    const quint64 generation = m_subTaskGeneration;
    for (const QPointer<TaskSpecification>& task : std::as_const(tasks)) {
        if (!task)
            continue;
        quint64 done = 0;
        quint64 total = 0;
        quint64 taskSpeed = 0;
        bool taskDownloading = false;
        task->timeTick(done, total, taskSpeed, taskDownloading);
        if (!self || m_subTaskGeneration != generation)
            return;
        if (taskDownloading)
            downloading = true;
        speed += taskSpeed;
        if (total != 0) {
            downloadDone += done;
            downloadTotal += total;
        }
    }
}

void ComposedTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state != StateRunning)
        return;
    // Sub-tasks may end, and this task with them, while they are told; iterate over a snapshot.
    const QList<TaskSpecification*> tasks = subTasks;
    for (TaskSpecification* task : tasks)
        task->userCanceled();
}

void ComposedTaskSpecification::handleOtherTaskCancelled(TaskSpecification* other)
{
    Q_EMIT otherTaskCancelled(other);
}
