// The engine and the server's writers under power loss at every durability point.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "platform/engine/HBEngine.h"
#include "platform/engine/HBFile.h"
#include "platform/engine/HBLogFile.h"
#include "platform/engine/Uuid.h"
#include "platform/support/Directory.h"
#include "platform/support/Os.h"
#include "tests/TestUtil.h"
#include "tests/lib/PowerLoss.h"
#include "tools/sim/ServerWriters.h"

using namespace Mirel;
using sim::PageImage;
using sim::PageMap;
using sim::RedoLogWriter;
using sim::WriteDatabaseFile;
using testutil::TempDir;

namespace {

constexpr std::uint32_t kPage = 512;

struct State {
    std::uint64_t msn = 0;
    PageMap pages;
};

PageImage Image(std::mt19937_64& rng) {
    PageImage p(kPage);
    for (auto& b : p) b = static_cast<std::uint8_t>(rng());
    return p;
}

// The database as the chain leaves it after each log: states[0] is the full copy.
struct Chain {
    Format::Uuid uuid = UuidText::Generate();
    std::vector<State> states;
    std::vector<std::string> logs;

    Error Write(const std::string& dir, int count, std::mt19937_64& rng) {
        State s;
        s.msn = 50;
        for (std::uint64_t n = 0; n < 12; ++n) s.pages[n] = Image(rng);
        states.push_back(s);
        for (int i = 0; i < count; ++i) {
            logs.push_back(dir + "/l" + std::to_string(i) + ".vrl");
            RedoLogWriter w;
            if (Error e = w.Open(UniversalPath::FromNative(logs.back()), uuid, kPage, s.msn);
                !e.OK())
                return e;
            for (int r = 0; r < 10; ++r) {
                std::uint64_t n = rng() % 16;  // some pages past the end: the file grows
                s.pages[n] = Image(rng);
                if (Error e = w.AddPage(n, s.pages[n].data()); !e.OK()) return e;
            }
            s.msn += 1 + rng() % 3;
            if (Error e = w.Finish(s.msn, 1700000000000000ull + s.msn, false); !e.OK()) return e;
            states.push_back(s);
        }
        return Error();
    }
    std::size_t IndexOf(std::uint64_t msn) const {
        std::size_t i = 0;
        while (i < states.size() && states[i].msn != msn) ++i;
        return i;
    }
};

// Applies logs [from, to) of a chain in one pass: the database opened once, one finish.
Error ApplyPass(const std::string& db, const std::vector<std::string>& logs, std::size_t from,
                std::size_t to) {
    HBFile f(UniversalPath::FromNative(db));
    f.SetOpeningFlags(0x110);
    if (Error e = f.Open(HBFile::kPermReadWrite); !e.OK()) return e;
    std::vector<std::unique_ptr<HBLogFile>> open;
    for (std::size_t i = from; i < to; ++i) {
        open.push_back(std::make_unique<HBLogFile>(UniversalPath::FromNative(logs[i])));
        if (Error e = open.back()->Open(HBLogFile::kPermRead); !e.OK()) return e;
        if (Error e = f.QueueLog(*open.back()); !e.OK()) return e;
    }
    FileSum sum;
    Error e = f.ApplyPass(nullptr, &sum);
    Error c = f.Close();
    // What a pass sums is the file as it stands once the pass returned, or nothing.
    if (sum.known) {
        const std::string now = testutil::ReadFile(db);
        EXPECT_TRUE(e.OK());
        EXPECT_EQ(std::pair(sum.size, sum.crc),
                  std::pair(std::uint64_t{now.size()}, Format::Crc32c(now.data(), now.size())));
    } else {
        EXPECT_FALSE(e.OK() && c.OK()) << "a pass that succeeded summed nothing";
    }
    return e.OK() ? c : e;
}

const PageImage* PageAt(const State& s, std::uint64_t n) {
    auto it = s.pages.find(n);
    return it == s.pages.end() ? nullptr : &it->second;
}

class EngineCrashTest : public ::testing::Test {
protected:
    void SetUp() override { HBEngine::Startup(true, 65536, nullptr, nullptr); }
    TempDir tmp;
    std::mt19937_64 rng{99};
    // The test's own disk that can lose power, its thread's Env.
    PowerLoss::Disk disk;
    Mirel::Env::Scope files{disk};
    PowerLoss::Scope run{disk};
};

// The chain applied in passes of this many logs (1: one log at a time).
class EngineCrashPassTest : public EngineCrashTest, public ::testing::WithParamInterface<int> {};

}  // namespace

TEST_P(EngineCrashPassTest, ApplyingAChainSurvivesAPowerLossAtEveryPoint) {
    const std::size_t pass = static_cast<std::size_t>(GetParam());
    // The logs and their container changes lie outside the crashing folder.
    Chain chain;
    ASSERT_TRUE(chain.Write(tmp.path(), 4, rng).OK());
    testutil::MakeDirs(tmp / "l1.vrl.rc/sub");
    testutil::WriteFile(tmp / "l1.vrl.rc/sub/c", "container v2");
    const std::string root = tmp / "db";
    const std::size_t logs = chain.logs.size();
    auto passEnd = [&](std::size_t i) { return std::min(logs, i + pass); };

    auto fresh = [&] {
        Directory(UniversalPath::Folder(root)).DeleteAll();
        testutil::MakeDirs(root + "/db.vdb.rc/sub");
        testutil::WriteFile(root + "/db.vdb.rc/sub/c", "container v1");
        ASSERT_TRUE(WriteDatabaseFile(UniversalPath::FromNative(root + "/db.vdb"), chain.uuid,
                                      kPage, chain.states[0].msn, chain.states[0].pages)
                        .OK());
    };
    auto applyAll = [&] {
        std::size_t done = 0;
        while (done < logs && ApplyPass(root + "/db.vdb", chain.logs, done, passEnd(done)).OK())
            done = passEnd(done);
        return done;
    };
    fresh();
    disk.Start(root);
    ASSERT_EQ(applyAll(), logs);
    const std::uint64_t points = disk.Points();
    disk.Stop();
    // A page sync and a header sync per pass, and the container copy's own.
    const std::uint64_t passes = (logs + pass - 1) / pass;
    ASSERT_GE(points, 2 * passes);
    ASSERT_LE(points, 2 * passes + 4);

    for (PowerLoss::Loss loss :
         {PowerLoss::Loss::kWorst, PowerLoss::Loss::kSeeded, PowerLoss::Loss::kLastWriteOnly}) {
        for (std::uint64_t k = 1; k <= points + 1; ++k) {
            SCOPED_TRACE("crash " + std::to_string(k) + " loss " +
                         std::to_string(static_cast<int>(loss)));
            fresh();
            disk.Start(root, k);
            const std::size_t done = applyAll();
            PowerLoss::Outcome out = disk.Restart(loss, k);
            ASSERT_TRUE(out.errors.empty());

            // A pass boundary no older than the last pass that returned...
            HBFile db(UniversalPath::FromNative(root + "/db.vdb"));
            ASSERT_TRUE(db.Open(HBFile::kPermRead).OK());
            const std::size_t at = chain.IndexOf(db.GetMSN());
            ASSERT_TRUE(at <= logs && at >= done && (at % pass == 0 || at == logs))
                << "MSN " << db.GetMSN() << " unknown, older than returned, or inside a pass";
            // ...whose pages are that state's, or the next pass's end where it was under way:
            // a header never claims a page that is not durable.
            const State& s = chain.states[at];
            const State* next = at < logs ? &chain.states[passEnd(at)] : nullptr;
            PageImage buf(kPage), zero(kPage, 0);
            for (std::uint64_t n = 0; n < db.GetPageCount(); ++n) {
                ASSERT_TRUE(db.ReadPage(n, buf.data()).OK());
                const PageImage* a = PageAt(s, n);
                const PageImage* b = next ? PageAt(*next, n) : nullptr;
                EXPECT_TRUE(buf == (a ? *a : zero) || (b && buf == *b)) << "page " << n;
            }
            db.Close();
            // Copied in before the MSN moved.
            const std::string c = testutil::ReadFile(root + "/db.vdb.rc/sub/c");
            EXPECT_TRUE(c == "container v2" || (c == "container v1" && at < 2)) << c;

            // Re-applying from there, one log at a time, reaches the chain's end exactly.
            for (std::size_t i = at; i < logs; ++i)
                ASSERT_TRUE(ApplyPass(root + "/db.vdb", chain.logs, i, i + 1).OK()) << "log " << i;
            HBFile end(UniversalPath::FromNative(root + "/db.vdb"));
            ASSERT_TRUE(end.Open(HBFile::kPermRead).OK());
            EXPECT_EQ(end.GetMSN(), chain.states.back().msn);
            for (std::uint64_t n = 0; n < end.GetPageCount(); ++n) {
                ASSERT_TRUE(end.ReadPage(n, buf.data()).OK());
                EXPECT_EQ(buf,
                          PageAt(chain.states.back(), n) ? *PageAt(chain.states.back(), n) : zero)
                    << n;
            }
            EXPECT_EQ(testutil::ReadFile(root + "/db.vdb.rc/sub/c"), "container v2");
            if (HasFailure()) return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Passes, EngineCrashPassTest, ::testing::Values(1, 2, 4),
                         [](const auto& info) { return "of" + std::to_string(info.param); });

TEST_F(EngineCrashTest, WrittenFilesAreWholeOnceTheWriterReturnsAndNeverTornUnderTheirName) {
    const std::string root = tmp / "w";
    std::uint64_t points = 0;
    for (std::uint64_t k = 0; k <= points + 1; ++k) {
        // The worst case, then several seeds: a torn file shows only with some of them.
        for (std::uint64_t seed = 0; seed < 24; ++seed) {
            SCOPED_TRACE("crash " + std::to_string(k) + " seed " + std::to_string(seed));
            Directory(UniversalPath::Folder(root)).DeleteAll();
            testutil::MakeDirs(root);
            std::mt19937_64 local(7);
            Chain chain;
            const PageImage page = Image(local);
            disk.Start(root, k);
            // The database copy, then two logs of the chain, each durable when it returns.
            bool dbDone = WriteDatabaseFile(UniversalPath::FromNative(root + "/db.vdb"), chain.uuid,
                                            kPage, 50, {{0, page}})
                              .OK();
            Error logs = chain.Write(root, 2, local);
            if (k == 0) {
                points = disk.Points();
                disk.Stop();
                ASSERT_TRUE(dbDone && logs.OK());
                break;
            }
            disk.Restart(seed ? PowerLoss::Loss::kSeeded : PowerLoss::Loss::kWorst, k * 100 + seed);

            HBFile db(UniversalPath::FromNative(root + "/db.vdb"));
            Error opened = db.Open(HBFile::kPermRead);
            // Whole under its name, or not there: never a database with holes.
            if (dbDone || opened.OK()) {
                PageImage buf(kPage);
                ASSERT_TRUE(opened.OK() && db.ReadPage(0, buf.data()).OK());
                EXPECT_TRUE(buf == page && db.GetMSN() == 50u);
            } else {
                EXPECT_EQ(opened.GetError(), kErrPathNotFound);
            }
            for (std::size_t i = 0; i < chain.logs.size(); ++i) {
                HBLogFile log(UniversalPath::FromNative(chain.logs[i]));
                Error e = log.Open(HBLogFile::kPermHeaderOnly);
                // Finished when the next began or the writer returned; a header that reads well
                // only with every record there.
                if (i + 1 < chain.logs.size() || logs.OK()) {
                    ASSERT_TRUE(e.OK() && log.GetMSN() == chain.states[i + 1].msn) << "log " << i;
                }
                if (e.OK()) {
                    EXPECT_TRUE(log.VerifyRecords().OK()) << "log " << i;
                }
            }
        }
    }
    EXPECT_GE(points, 6u);
}

// The service's own lists (failed databases, unwritten copies) are written whole and durably:
// after a crash a list is the new text once the write returned, else the old one, never cut.
TEST_F(EngineCrashTest, ADurableListIsTheOldTextOrTheNewOneAfterAnyCrash) {
    const std::string root = tmp / "l", list = root + "/Failed.tsv";
    const std::string before(300, 'o'), after(5000, 'n');
    std::uint64_t points = 0;
    for (std::uint64_t k = 0; k <= points + 1; ++k) {
        for (std::uint64_t seed = 0; seed < 8; ++seed) {
            SCOPED_TRACE("crash " + std::to_string(k) + " seed " + std::to_string(seed));
            Directory(UniversalPath::Folder(root)).DeleteAll();
            testutil::MakeDirs(root);
            testutil::WriteFile(list, before);
            disk.Start(root, k);
            const bool written = Env::Current().WriteFileDurable(list, after).OK();
            if (k == 0) {
                points = disk.Points();
                disk.Stop();
                ASSERT_TRUE(written);
                break;
            }
            disk.Restart(seed == 0   ? PowerLoss::Loss::kWorst
                         : seed == 1 ? PowerLoss::Loss::kLastWriteOnly
                                     : PowerLoss::Loss::kSeeded,
                         k * 100 + seed);
            std::string text;
            EXPECT_TRUE(Env::Current().ReadWholeFile(list, text).OK());
            if (written) {
                EXPECT_EQ(text, after);
            } else {
                EXPECT_TRUE(text == before || text == after) << text.size() << " bytes";
            }
        }
    }
    EXPECT_GE(points, 2u);  // the data's sync, the folder's
}
