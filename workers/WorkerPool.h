// The worker threads. Each takes its items from the work source given when the pool is made,
// and knows nothing else of the manager.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "catalogue/WorkSource.h"
#include "workers/TalonIBWorker.h"

class WorkerPool {
public:
    WorkerPool(WorkSource& source, Mirel::Env& env) : mSource(source), mEnv(env) {}
    ~WorkerPool() { Delete(); }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Starts `count` more workers (none when count < 1).
    void Create(std::int32_t count);
    // Each worker looks for work, a former abort forgotten.
    void Wake();
    // Each worker lets go of its item within a few hundred pages.
    void Abort();
    // Each worker leaves after its current log; Quit does not wait, End does.
    void Quit();
    void End();
    void Delete();  // ends them first
    std::size_t Size() const { return mWorkers.size(); }

private:
    WorkSource& mSource;
    Mirel::Env& mEnv;
    std::vector<std::unique_ptr<TalonIBWorker>> mWorkers;
};
