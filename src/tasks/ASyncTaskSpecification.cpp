#include "ASyncTaskSpecification.h"

#include "ASyncFunc.h"
#include "ASyncRun.h"

#include <QThreadPool>

ASyncTaskSpecification::ASyncTaskSpecification(QObject* parent, double weight)
    : TaskSpecification(parent, weight)
{
}

void ASyncTaskSpecification::execute()
{
    ++m_run;
    ASyncFunc* func = createFunction();
    connectDefaultSignals(func);
    // The body is run and deleted on a pool thread; detach it from the GUI thread so that nothing
    // of it is bound to a thread it no longer lives on.
    func->moveToThread(nullptr);
    QThreadPool::globalInstance()->start(new ASyncRun(func), 0);
    // Safe after handing over: the result arrives as a queued call, never before this returns.
    state = StateRunning;
}

void ASyncTaskSpecification::connectDefaultSignals(ASyncFunc* func)
{
    // Results of a body whose run was superseded by a later execute() must not end or move the new
    // run: after a reset() and execute() in the same dispatch the old result could still be queued.
    const quint64 run = m_run;
    connect(
        func, &ASyncFunc::runResult, this,
        [this, run](bool res) {
            if (run == m_run)
                onRunResult(res);
        },
        Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::message, this,
        [this, run](const QString& text) {
            if (run == m_run)
                Q_EMIT message(text);
        },
        Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::error, this,
        [this, run](const QString& text) {
            if (run == m_run)
                Q_EMIT error(text);
        },
        Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::progress, this,
        [this, run](qreal fraction) {
            if (run == m_run)
                onProgress(fraction);
        },
        Qt::QueuedConnection);
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    runDone(res);
}

void ASyncTaskSpecification::onProgress(qreal progress)
{
    // reset() waits for the body but not for its reports still queued: a late one must not give an
    // idle task progress again.
    if (state != StateRunning)
        return;
    setProgress(progress);
}

void ASyncTaskSpecification::runDone(bool ok)
{
    if (state != StateRunning)
        return;
    if (ok)
        finish();
    else
        errorCancel();
}

void ASyncTaskSpecification::reset()
{
    // Waits for every body in the pool, not only this task's: the pool cannot tell them apart.
    QThreadPool::globalInstance()->waitForDone();
    TaskSpecification::reset();
}
