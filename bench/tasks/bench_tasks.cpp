// Costs of the task framework at the scale of a large update: one progress event of one sub-task
// in a composed task of many sub-tasks, and a composed task of many quick sub-tasks run from start
// to end (each sub-task starts in its own event-loop dispatch).

#include "ComposedTaskSpecification.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <benchmark/benchmark.h>

#include <vector>

namespace {

// A transfer-like leaf: runs until told to finish, reports progress in between.
class LeafTask : public TaskSpecification
{
public:
    using TaskSpecification::TaskSpecification;
    void execute() override { state = StateRunning; }
};

// A leaf that ends inside its own execute(), like a quick file operation.
class QuickTask : public TaskSpecification
{
public:
    using TaskSpecification::TaskSpecification;
    void execute() override
    {
        state = StateRunning;
        finish();
    }
};

class ListTask : public ComposedTaskSpecification
{
public:
    ListTask(int maxParallel, QObject* parent = nullptr)
        : ComposedTaskSpecification(maxParallel, 1.0, parent)
    {
    }
    void execute() override { executeSubTasks(); }
};

// One progress event of one sub-task: the sub-task's setProgress() and everything its composed
// parent does with it. As in a download list, the events come from the few sub-tasks that run at a
// time (six here); the group moves along the list, so over a run every sub-task reports.
void progressEvents(benchmark::State& state, int running, int eventsPerTask)
{
    const int count = int(state.range(0));
    ListTask list(count);
    std::vector<LeafTask*> leaves;
    leaves.reserve(count);
    for (int i = 0; i < count; ++i) {
        auto* leaf = new LeafTask(&list, 1.0 / count);
        list.addSubTask(leaf);
        leaves.push_back(leaf);
    }
    double reported = 0.0;
    QObject::connect(&list, &TaskSpecification::updateProgress, &list,
                     [&reported](qreal v) { reported = v; });

    int first = 0; // first sub-task of the running group
    int inGroup = 0;
    int events = 0;
    double fraction = 0.0;
    for (auto _ : state) {
        leaves[(first + inGroup) % count]->setProgress(fraction);
        if (++inGroup == running) {
            inGroup = 0;
            fraction += 1.0 / 1024;
            if (fraction > 1.0)
                fraction = 0.0;
            if (++events == eventsPerTask) {
                events = 0;
                first = (first + running) % count;
            }
        }
    }
    benchmark::DoNotOptimize(reported);
    state.SetItemsProcessed(state.iterations());
}

void SubTaskProgressEvent(benchmark::State& state)
{
    progressEvents(state, 6, 256);
}
BENCHMARK(SubTaskProgressEvent)->Arg(100)->Arg(1000)->Arg(10000);

// Worst case for the memory system: every event comes from a different sub-task, cycling through
// all of them, so the reporting sub-task itself is rarely in the cache.
void SubTaskProgressEventEachFromAnother(benchmark::State& state)
{
    progressEvents(state, int(state.range(0)), 1);
}
BENCHMARK(SubTaskProgressEventEachFromAnother)->Arg(100)->Arg(1000)->Arg(10000);

// For comparison with the case above: the same events delivered to a receiver that does nothing
// with them, with as many connections per sub-task as a composed parent makes. This is the cost of
// delivering a signal from one of many objects at all, before anyone adds anything up.
void DeliveryOnlyEachFromAnother(benchmark::State& state)
{
    const int count = int(state.range(0));
    QObject owner;
    std::vector<LeafTask*> leaves;
    leaves.reserve(count);
    for (int i = 0; i < count; ++i) {
        auto* leaf = new LeafTask(&owner, 1.0 / count);
        QObject::connect(leaf, &TaskSpecification::finished, &owner, [] {});
        QObject::connect(leaf, &TaskSpecification::canceled, &owner, [] {});
        QObject::connect(leaf, &TaskSpecification::error, &owner, [] {});
        QObject::connect(leaf, &TaskSpecification::updateProgress, &owner, [leaf](qreal v) {
            benchmark::DoNotOptimize(leaf);
            benchmark::DoNotOptimize(v);
        });
        QObject::connect(leaf, &TaskSpecification::message, &owner, [] {});
        leaves.push_back(leaf);
    }
    int next = 0;
    double fraction = 0.0;
    for (auto _ : state) {
        leaves[next]->setProgress(fraction);
        if (++next == count) {
            next = 0;
            fraction += 1.0 / 1024;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(DeliveryOnlyEachFromAnother)->Arg(100)->Arg(1000)->Arg(10000);

// For comparison: what recounting every sub-task on each event would cost.
void PlainSumOverSubTasks(benchmark::State& state)
{
    const int count = int(state.range(0));
    ListTask list(count);
    for (int i = 0; i < count; ++i)
        list.addSubTask(new LeafTask(&list, 1.0 / count));
    for (auto _ : state) {
        double sum = 0.0;
        for (const TaskSpecification* task : std::as_const(list.subTasks))
            sum += task->progress;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(PlainSumOverSubTasks)->Arg(100)->Arg(1000)->Arg(10000);

// Build a composed task of quick sub-tasks, run it to its end on the event loop, release it.
void runQuickSubTasks(benchmark::State& state, int maxParallel)
{
    const int count = int(state.range(0));
    for (auto _ : state) {
        auto* list = new ListTask(maxParallel);
        for (int i = 0; i < count; ++i)
            list->addSubTask(new QuickTask(list, 1.0 / count));
        QEventLoop loop;
        QObject::connect(list, &TaskSpecification::finished, &loop, &QEventLoop::quit);
        QObject::connect(list, &TaskSpecification::canceled, &loop, &QEventLoop::quit);
        list->execute();
        loop.exec();
        if (list->state != StateFinished)
            state.SkipWithError("the list did not finish");
        delete list;
    }
    state.SetComplexityN(count);
    state.SetItemsProcessed(state.iterations() * count);
}

void RunQuickSubTasksOneAtATime(benchmark::State& state)
{
    runQuickSubTasks(state, 1);
}
BENCHMARK(RunQuickSubTasksOneAtATime)
    ->DenseRange(2500, 10000, 2500)
    ->Arg(20000)
    ->Arg(40000)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

void RunQuickSubTasksSixAtATime(benchmark::State& state)
{
    runQuickSubTasks(state, 6);
}
BENCHMARK(RunQuickSubTasksSixAtATime)
    ->DenseRange(2500, 10000, 2500)
    ->Arg(20000)
    ->Arg(40000)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    QCoreApplication app(argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
