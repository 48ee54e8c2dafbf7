// ibsdb info and check-log: what one file holds.
#include <iostream>

#include "platform/engine/HBFile.h"
#include "platform/engine/HBLogFile.h"
#include "platform/framework/IBS_Config.h"
#include "platform/support/DateTime.h"
#include "platform/support/FileKinds.h"
#include "tools/ibsdb/Commands.h"

using Mirel::UniversalPath;

namespace ibsdb {

int Info(const std::vector<std::string>& files) {
    int rc = 0;
    for (const auto& f : files) {
        UniversalPath p = UniversalPath::FromNative(f);
        Mirel::unistring uuid;
        std::uint64_t msn = 0, start = 0, end = 0;
        bool closed = false;
        std::vector<Mirel::unistring> list;
        Mirel::HBFile db(p);
        if (db.Open(Mirel::HBFile::kPermRead).OK()) {
            std::cout << f << ": database " << db.GetUUID() << " MSN " << db.GetMSN() << ", "
                      << db.GetPageCount() << " pages of " << db.GetPageSize() << " bytes\n";
        } else if (Talon::IBS_Config::GetRedoLogInfo(p, uuid, msn, start, end, closed).OK()) {
            Mirel::HBLogFile log(p);
            log.Open(Mirel::HBLogFile::kPermHeaderOnly);
            std::cout << f << ": redo log of " << uuid << ", MSN " << start << " -> " << msn
                      << ", ends at " << Mirel::UtcText(end, 6) << (closed ? ", closed" : "")
                      << ", " << log.RecordCount() << " page images\n";
        } else if (Talon::IBS_Config::GetIncrementalIntervalDone(p, end, &list).OK()) {
            std::cout << f << ": interval done at " << Mirel::UtcText(end, 6) << ", " << list.size()
                      << " database(s) listed\n";
            for (const auto& u : list) std::cout << "  " << u << "\n";
        } else {
            std::cout << f << ": not a file of the backup service\n";
            rc = 1;
        }
    }
    return rc;
}

int CheckLogs(const std::vector<std::string>& files) {
    int rc = 0;
    for (const auto& f : files) {
        Mirel::HBLogFile log(UniversalPath::FromNative(f));
        Mirel::Error e = log.Open(Mirel::HBLogFile::kPermRead);
        if (e.OK()) e = log.VerifyRecords();
        std::cout << f << ": " << (e.OK() ? "ok" : "INVALID, error " + e.Text()) << "\n";
        if (!e.OK()) rc = 1;
    }
    return rc;
}

}  // namespace ibsdb
