// A worker thread: checks out one database at a time and applies its redo logs to the
// in-progress copy, holding no catalogue lock while it does.
//
// Worker messages: 100 leaves Main; 1229 looks for work.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "catalogue/Items.h"
#include "catalogue/WorkSource.h"
#include "platform/engine/HBLogFile.h"
#include "platform/framework/TalonError.h"
#include "platform/support/Env.h"
#include "platform/support/Thread.h"

namespace Mirel {
class HBFile;
struct FileSum;
}  // namespace Mirel

class TalonIBWorker : public Mirel::Thread {
public:
    static constexpr std::int32_t kMsgQuit = 100;
    static constexpr std::int32_t kMsgWork = 1229;
    // A pass is written in parts past these: the logs held open and read into memory stay bounded.
    static constexpr std::size_t kPassMaxLogs = 64;
    static constexpr std::uint64_t kPassMaxBytes = 256ull << 20;
    // Log memory kept from one pass for the next: a pass ends with its first log past the
    // bound, so a little more than the bound.
    static constexpr std::size_t kKeptLogMemory = kPassMaxBytes + (32u << 20);

    // Its thread works on `env`'s files.
    TalonIBWorker(WorkSource& source, Mirel::Env& env) : mSource(source), mEnv(env) {}
    ~TalonIBWorker() override;

    const char* GetName() const override { return "TalonIBWorker"; }
    void Main() override;
    void Destruct() override;

    void PostWork();
    void PostQuit();
    void SetAbort() { Mirel::AtomicBool32Set(mAbort); }
    void ClearAbort() { Mirel::AtomicBool32Clear(mAbort); }

    // Applies the item's pending logs up to its lastLogMSN in one pass (one data sync, then
    // the header); the outcome is in item.err.
    void ProcessRedoLogSet(DatabaseItem& item);
    // Gives a hard-linked in-progress file its own data, then opens it for writing. Bytes
    // still shared with a last-good copy are checked against that copy's manifest line on
    // the way (10727 when they do not match: nothing is written).
    Talon::Error PrepareDatabase(DatabaseItem& item, Mirel::HBFile& database);
    // The errors that are the log's own fault: it is set aside and its database fails.
    static bool IsBadLog(int error);
    bool IsAborting() const { return mAbort.load() != 0; }
    // Bytes of log memory kept for the next pass (none once the worker found no work).
    std::size_t HeldLogMemory() const { return mArena.Held(); }

private:
    // The copy's manifest line and identity into the item, after a pass that wrote it.
    // `sum`: what the last pass read (used when the file at the path is still that one).
    void ComputeManifestLine(DatabaseItem& item, const Mirel::HBFile& database,
                             const Mirel::UniversalPath& dbPath, const Mirel::FileSum& sum);

    WorkSource& mSource;
    // Where a pass's logs are read: kept from pass to pass while there is work.
    Mirel::RecordArena mArena;
    Mirel::Env& mEnv;
    std::atomic<std::int32_t> mAbort{0};
    DatabaseItem* mItem = nullptr;
};
