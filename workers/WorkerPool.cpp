// The worker threads.
#include "workers/WorkerPool.h"

void WorkerPool::Create(std::int32_t count) {
    for (std::int32_t i = 0; i < count; ++i) {
        mWorkers.push_back(std::make_unique<TalonIBWorker>(mSource, mEnv));
        mWorkers.back()->Start(false);
    }
}

void WorkerPool::Wake() {
    for (const auto& w : mWorkers) {
        w->ClearAbort();
        w->PostWork();
    }
}

void WorkerPool::Abort() {
    for (const auto& w : mWorkers) w->SetAbort();
}

void WorkerPool::Quit() {
    for (const auto& w : mWorkers) w->PostQuit();
}

void WorkerPool::End() {
    Quit();
    for (const auto& w : mWorkers) w->Join();
}

void WorkerPool::Delete() {
    End();
    mWorkers.clear();
}
