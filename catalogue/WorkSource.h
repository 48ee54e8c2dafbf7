// Where a worker takes its items from, given when the worker is made: the worker knows
// nothing else of the manager.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "catalogue/Items.h"
#include "platform/framework/Events.h"

class WorkSource {
public:
    virtual ~WorkSource() = default;
    // The next item to bring forward, owned by the caller until released; null when none
    // (or `aborted` is set).
    virtual DatabaseItem* CheckoutInProgressItem(const std::atomic<std::int32_t>* aborted) = 0;
    virtual void ReleaseInProgressItem(DatabaseItem* item) = 0;
    // The end of the interval the items belong to: no log past it is applied.
    virtual std::uint64_t GetIntervalEnd() const = 0;
    virtual Mirel::UniversalPath GetInProgressFolderPath() const = 0;
    virtual void ReportDatabaseEvent(Talon::Event code, const Mirel::unistring& uuid,
                                     const Mirel::unistring& name,
                                     std::vector<Mirel::unistring> texts) = 0;
    // The copy stops being an upload as the server wrote it: 0, or the error of the record.
    virtual int ForgetUnwritten(const Mirel::UniversalPath& copy) = 0;
};
