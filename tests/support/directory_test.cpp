#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <set>
#include <tuple>

#include "platform/support/Directory.h"
#include "platform/support/Env.h"
#include "platform/support/File.h"
#include "platform/support/Listing.h"
#include "platform/support/Os.h"
#include "tests/TestUtil.h"
#include "tests/lib/FaultEnv.h"

using Mirel::Directory;
using Mirel::FsOp;
using Mirel::UniversalPath;
using namespace testutil;

class DirectoryTest : public ::testing::Test {
protected:
    TempDir tmp;
    // The test's own fault seam, its thread's Env (gone before tmp is removed).
    Mirel::FaultEnv faults;
    Mirel::Env::Scope files{faults};
};

TEST_F(DirectoryTest, DeleteAllNeverFollowsLinksOutOfTheTree) {
    TempDir outside;
    WriteFile(outside / "precious", "keep me");
    MakeDirs(tmp / "tree/sub");
    WriteFile(tmp / "tree/sub/f", "x");
    ASSERT_EQ(::symlink(outside.path().c_str(), (tmp / "tree/sub/link").c_str()), 0);
    ASSERT_EQ(::symlink((outside / "precious").c_str(), (tmp / "tree/filelink").c_str()), 0);

    EXPECT_TRUE(Directory(tmp.Folder("tree")).DeleteAll().OK());
    EXPECT_FALSE(Exists(tmp / "tree"));

    // A folder that is itself a link is not emptied; deleted, the link goes, its target stays.
    ASSERT_EQ(::symlink(outside.path().c_str(), (tmp / "rootlink").c_str()), 0);
    Directory link(tmp.Folder("rootlink"));
    EXPECT_FALSE(link.Exists() || link.DeleteContents().OK());
    EXPECT_TRUE(link.DeleteAll().OK());
    EXPECT_FALSE(Exists(tmp / "rootlink"));
    EXPECT_EQ(ReadFile(outside / "precious"), "keep me");
}

TEST_F(DirectoryTest, DeleteOnlyRemovesEmptyFoldersAndContentsKeepsTheFolder) {
    MakeDirs(tmp / "a/b");
    WriteFile(tmp / "a/b/f", "x");
    EXPECT_EQ(Directory(tmp.Folder("a/b")).Delete().GetError(), Mirel::kErrNotEmpty);
    EXPECT_TRUE(Directory(tmp.Folder("a")).DeleteContents().OK());
    EXPECT_TRUE(IsDir(tmp / "a") && Directory(tmp.Folder("a")).IsEmpty());
    EXPECT_TRUE(Directory(tmp.Folder("a")).Delete().OK());
}

TEST_F(DirectoryTest, CreateRelativePathReportsHowFarItGot) {
    Directory ip(tmp.Folder("InProgress"));
    ASSERT_TRUE(ip.CreateIfNotExists().OK());
    Mirel::FaultEnv::Scope disarm(faults);
    faults.Arm(FsOp::kCreateDir, tmp / "InProgress/a/b", Mirel::kErrAccessDenied);
    Directory work = ip;
    EXPECT_EQ(work.CreateRelativePath(UniversalPath::FromNative("a/b/c/")).GetError(),
              Mirel::kErrAccessDenied);
    EXPECT_EQ(work.GetPath(), tmp.Folder("InProgress/a"));

    faults.Clear();
    work = ip;
    EXPECT_TRUE(work.CreateRelativePath(UniversalPath::FromNative("a/b/c/")).OK());
    EXPECT_TRUE(work.GetPath() == tmp.Folder("InProgress/a/b/c") &&
                IsDir(tmp / "InProgress/a/b/c"));
}

TEST_F(DirectoryTest, RenameNeverReplacesAndFaultsLeaveEverythingInPlace) {
    for (const char* d : {"InProgress", "LastGood_x"}) MakeDirs(tmp / d);
    Directory ip(tmp.Folder("InProgress"));
    EXPECT_EQ(ip.Rename(u"LastGood_x").GetError(), Mirel::kErrAlreadyExists);
    EXPECT_EQ(ip.GetPath(), tmp.Folder("InProgress"));

    Mirel::FaultEnv::Scope disarm(faults);
    faults.Arm(FsOp::kRename, tmp / "InProgress", Mirel::kErrFileLocked, 1);
    EXPECT_EQ(ip.Rename(u"LastGood_y").GetError(), Mirel::kErrFileLocked);
    EXPECT_TRUE(IsDir(tmp / "InProgress"));
    EXPECT_TRUE(ip.Rename(u"LastGood_y").OK());  // the fault was armed for one call
    EXPECT_TRUE(ip.GetPath() == tmp.Folder("LastGood_y") && !Exists(tmp / "InProgress"));
}

TEST_F(DirectoryTest, HardLinksShareAndCopiesHoldEveryByte) {
    WriteFile(tmp / "src.vdb", std::string(100000, 'q'));
    Mirel::File link(tmp.File("link.vdb"));
    ASSERT_TRUE(link.MakeHardLink(tmp.File("src.vdb")).OK());
    EXPECT_EQ(link.GetHardLinkCount(), 2u);
    EXPECT_TRUE(Directory(tmp.Folder()).SupportHardLink());

    Mirel::File src(tmp.File("src.vdb"));
    ASSERT_TRUE(src.SetLocked(true).OK());
    ASSERT_TRUE(src.Copy(tmp.File("copy.vdb")).OK());
    Mirel::File copy(tmp.File("copy.vdb"));
    EXPECT_TRUE(copy.GetHardLinkCount() == 1 && copy.IsLocked());  // read-only, as on Windows
    EXPECT_EQ(ReadFile(tmp / "copy.vdb"), ReadFile(tmp / "src.vdb"));
    std::string big(5 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 % 251);
    for (const std::string& bytes : {std::string(), big}) {
        WriteFile(tmp / "in", bytes);
        ASSERT_TRUE(Mirel::File(tmp.File("in")).Copy(tmp.File("out")).OK());
        EXPECT_TRUE(ReadFile(tmp / "out") == bytes) << bytes.size();
        ASSERT_TRUE(Mirel::File(tmp.File("out")).Delete().OK());
    }

    Mirel::FaultEnv::Scope disarm(faults);
    faults.Arm(FsOp::kHardLink, tmp / "*", Mirel::kErrLinkNotSupported);
    EXPECT_FALSE(Directory(tmp.Folder()).SupportHardLink());
    Mirel::File link2(tmp.File("link2.vdb"));
    const int made = link2.MakeHardLink(tmp.File("src.vdb")).GetError();
    EXPECT_EQ(std::pair(made, link2.GetError().GetError()),
              std::pair(Mirel::kErrLinkNotSupported + 0, Mirel::kErrLinkNotSupported + 0));

    faults.Arm(FsOp::kCopy, tmp / "full.vdb", Mirel::kErrDiskFull);
    EXPECT_EQ(src.Copy(tmp.File("full.vdb")).GetError(), Mirel::kErrDiskFull);
    EXPECT_FALSE(Exists(tmp / "full.vdb"));
}

TEST_F(DirectoryTest, ListingsGoByKindExtensionPatternAndDepth) {
    for (const char* f : {"Changes/Redo_1/IntervalDone.vid", "Changes/Redo_1/a.vrl",
                          "Changes/Redo_2/b.VRL", "Changes/Redo_2/deep/c.vrl", "Changes/stray.vrl",
                          "LG/top.vdb", "LG/a/b/mid.vdb", "LG/a/b/c/deep.vdb", "LG/a/b/mid.tmp"}) {
        MakeDirs(Mirel::Os::ParentOf(tmp / f));
        WriteFile(tmp / f, "");
    }
    Directory changes(tmp.Folder("Changes"));
    std::vector<UniversalPath> found;
    auto list = [&](Directory d, Mirel::FileFunctor&& f, int depth) {
        found.clear();
        EXPECT_TRUE(d.ProcessFiles(f, depth).OK());
        return found.size();
    };
    ASSERT_EQ(
        list(changes, Mirel::BuildUniversalPathListFunctor(found, Mirel::kListFolders, false), 1),
        2u);
    EXPECT_EQ(found[0], tmp.Folder("Changes/Redo_1"));
    EXPECT_TRUE(found[1].GetName().empty());
    // a.vrl and stray.vrl; b.VRL differs in case, c.vrl is too deep.
    EXPECT_EQ(std::vector<std::size_t>(
                  {list(changes, Mirel::BuildPathListExtensionFunctor(found, u".vrl", false), 2),
                   list(changes, Mirel::BuildPathListExtensionFunctor(found, u".vrl", true), 3),
                   list(changes,
                        Mirel::BuildUniversalPathListBasedOnFileNamePatternFunctor(
                            found, u"Redo_*", 0, Mirel::kListFolders, false),
                        1)}),
              std::vector<std::size_t>({2, 4, 2}));
    ASSERT_EQ(list(Directory(tmp.Folder("LG")),
                   Mirel::BuildUniversalPathListFunctor(found, Mirel::kListDatabaseFiles, true), 3),
              2u);
    EXPECT_EQ(found,
              std::vector<UniversalPath>({tmp.File("LG/a/b/mid.vdb"), tmp.File("LG/top.vdb")}));
    for (const auto& [folder, ext, empty] :
         {std::make_tuple("Changes/Redo_1", u".vrl", false),
          std::make_tuple("Changes/Redo_2/deep", u".vrl", false),
          std::make_tuple("", u".vdb", false), std::make_tuple("Changes", u".vdb", true)}) {
        Mirel::FileExtensionEmptyCheckFunctor check(ext);
        Directory(tmp.Folder(folder)).ProcessFiles(check, 100);
        EXPECT_EQ(check.IsEmpty(), empty) << folder;
    }
}

TEST_F(DirectoryTest, WriteabilityProbeUsesTheSeam) {
    Directory d(tmp.Folder());
    EXPECT_TRUE(d.IsWriteable(false));
    Mirel::FaultEnv::Scope disarm(faults);
    faults.Arm(FsOp::kOpenWrite, tmp / "*", Mirel::kErrAccessDenied);
    EXPECT_FALSE(d.IsWriteable(false));
    EXPECT_TRUE(d.IsEmpty());  // no probe left behind
}

namespace {
// Lists everything below a folder, and what it left out.
struct Everything : Mirel::FileFunctor {
    bool operator()(const UniversalPath& path, bool isFolder, int) override {
        (isFolder ? folders : files).push_back(path.GetName().ToUTF8());
        return true;
    }
    void LeftOut(const UniversalPath& path, int) override {
        leftOut.push_back(path.GetName().ToUTF8());
    }
    std::vector<std::string> files, folders, leftOut;
};
}  // namespace

// A FIFO, socket or device where a file is expected: every open answers 20308 at once.
TEST_F(DirectoryTest, NoOpenBlocksOnAFifoASocketOrADeviceAndListingsLeaveThemOut) {
    std::vector<std::string> names = {"fifo.vrl"};
    ASSERT_TRUE(MakeFifo(tmp / "fifo.vrl"));
    const int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{AF_UNIX, {}};
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", (tmp / "sock.vrl").c_str());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    names.push_back("sock.vrl");
    // A device needs CAP_MKNOD, which a container may not grant.
    if (::mknod((tmp / "null.vrl").c_str(), S_IFCHR | 0600, ::makedev(1, 3)) == 0)
        names.push_back("null.vrl");
    WriteFile(tmp / "plain.vrl", "x");

    const std::vector<std::string> fifo = {tmp / "fifo.vrl"};
    for (const auto& name : names) {
        const std::string p = tmp / name;
        int fd = -1;
        EXPECT_TRUE(FinishesWithin(
            3000, fifo,
            [&] {
                EXPECT_EQ(Mirel::Os::OpenRead(p, fd), Mirel::kErrNotAFile) << name;
                EXPECT_EQ(fd, -1);
                EXPECT_EQ(Mirel::Os::OpenWrite(p, false, false, fd), Mirel::kErrNotAFile) << name;
                EXPECT_EQ(Mirel::Os::OpenWrite(p, true, true, fd), Mirel::kErrNotAFile) << name;
                EXPECT_EQ(Mirel::Os::OpenAppend(p, fd), Mirel::kErrNotAFile) << name;
                EXPECT_EQ(fd, -1);
                EXPECT_EQ(Mirel::Os::CopyFile(p, tmp / "copy"), Mirel::kErrNotAFile) << name;
                EXPECT_EQ(Mirel::Os::CheckRealPath(tmp.path(), {name}, true), Mirel::kErrNotAFile);
                int dir = -1;
                ASSERT_EQ(Mirel::Os::OpenRealFolder(tmp.path(), {}, dir), 0);
                EXPECT_EQ(Mirel::Os::OpenReadAt(dir, name, p, fd), Mirel::kErrNotAFile) << name;
                EXPECT_EQ(fd, -1);
                Mirel::Os::Close(dir);
            }))
            << name << " blocked";
        EXPECT_TRUE(Exists(p)) << name;
    }
    EXPECT_FALSE(Exists(tmp / "copy") || Exists(tmp / "copy.part"));
    int fd = -1;
    ASSERT_EQ(Mirel::Os::OpenRead(tmp / "plain.vrl", fd), 0);  // a regular file still opens,
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);           // and blocks as files do
    Mirel::Os::Close(fd);
    EXPECT_EQ(Mirel::Os::OpenRead(tmp.path(), fd), Mirel::kErrIsADirectory);

    Everything all;
    EXPECT_TRUE(FinishesWithin(
        3000, fifo, [&] { EXPECT_TRUE(Directory(tmp.Folder()).ProcessFiles(all, 1).OK()); }));
    EXPECT_EQ(all.files, std::vector<std::string>{"plain.vrl"});
    EXPECT_EQ(std::set<std::string>(all.leftOut.begin(), all.leftOut.end()),
              std::set<std::string>(names.begin(), names.end()));
    ::close(sock);
}

// A file opened in an open folder is that folder's, wherever its path leads by then; neither
// open goes through a link, and both answer as CheckRealPath would.
TEST_F(DirectoryTest, AFileOpenedInAnOpenFolderIsTheOneOfThatFolder) {
    for (const char* d : {"a/b/sub", "elsewhere"}) MakeDirs(tmp / d);
    WriteFile(tmp / "a/b/f.vrl", "one");
    WriteFile(tmp / "elsewhere/f.vrl", "two");
    ASSERT_EQ(::symlink((tmp / "elsewhere/f.vrl").c_str(), (tmp / "a/b/link.vrl").c_str()), 0);
    ASSERT_EQ(::symlink((tmp / "elsewhere").c_str(), (tmp / "a/linked").c_str()), 0);
    int dir = -1;
    ASSERT_EQ(Mirel::Os::OpenRealFolder(tmp.path(), {"a", "b"}, dir), 0);
    // Its folder moves away and a link to another takes its place.
    ASSERT_EQ(std::rename((tmp / "a").c_str(), (tmp / "moved").c_str()), 0);
    MakeDirs(tmp / "a");
    ASSERT_EQ(::symlink((tmp / "elsewhere").c_str(), (tmp / "a/b").c_str()), 0);
    const std::string path = tmp / "a/b/f.vrl";
    int fd = -1;
    Mirel::Os::Info info;
    ASSERT_EQ(Mirel::Os::OpenReadAt(dir, "f.vrl", path, fd, &info), 0);
    char buf[8] = {0};
    std::size_t got = 0;
    EXPECT_EQ(Mirel::Os::PReadAll(fd, buf, sizeof buf, 0, got, path), 0);
    EXPECT_TRUE(std::string(buf, got) == "one" && info.size == 3 && info.isFile);
    Mirel::Os::Close(fd);

    const std::pair<std::string, int> refused[] = {
        {"link.vrl", Mirel::kErrIsALink},      {"sub", Mirel::kErrIsADirectory},
        {"gone.vrl", Mirel::kErrPathNotFound}, {"..", Mirel::kErrPathNotFound},
        {"", Mirel::kErrPathNotFound},         {"sub/../f.vrl", Mirel::kErrPathNotFound},
    };
    for (const auto& [name, error] : refused) {
        EXPECT_EQ(Mirel::Os::OpenReadAt(dir, name, path, fd), error) << name;
        EXPECT_EQ(fd, -1) << name;
        if (!name.empty() && name.find('/') == std::string::npos && name != "..") {
            EXPECT_EQ(Mirel::Os::CheckRealPath(tmp / "moved/b", {name}, true), error) << name;
        }
    }
    // The seam: the open is one of `path`, the folder's of its root.
    {
        Mirel::FaultEnv::Scope disarm(faults);
        faults.Arm(FsOp::kOpenRead, path, Mirel::kErrIO, 1);
        EXPECT_EQ(Mirel::Os::OpenReadAt(dir, "f.vrl", path, fd), Mirel::kErrIO);
        EXPECT_EQ(fd, -1);
        ASSERT_EQ(Mirel::Os::OpenReadAt(dir, "f.vrl", path, fd), 0);
        Mirel::Os::Close(fd);
        int other = -1;
        faults.Arm(FsOp::kAny, tmp.path(), Mirel::kErrAccessDenied, 1);
        EXPECT_EQ(Mirel::Os::OpenRealFolder(tmp.path(), {"moved"}, other), Mirel::kErrAccessDenied);
        EXPECT_EQ(other, -1);
    }
    Mirel::Os::Close(dir);

    // The folders on the way: a link or a file is refused as CheckRealPath refuses it.
    const std::pair<std::vector<std::string>, int> folders[] = {
        {{"a", "b"}, Mirel::kErrIsALink},
        {{"moved", "linked"}, Mirel::kErrIsALink},
        {{"moved", "b", "f.vrl"}, Mirel::kErrNotADirectory},
        {{"moved", "none"}, Mirel::kErrPathNotFound},
    };
    for (const auto& [parts, error] : folders) {
        EXPECT_EQ(Mirel::Os::OpenRealFolder(tmp.path(), parts, dir), error) << parts.back();
        EXPECT_EQ(dir, -1);
        EXPECT_EQ(Mirel::Os::CheckRealPath(tmp.path(), parts, false), error) << parts.back();
    }
}

// Once a process sets its copies' ownership, copies and MakeOwn give it; neither opens a FIFO.
TEST_F(DirectoryTest, CopiesAndMakeOwnGiveTheProcesssOwnership) {
    const std::shared_ptr<void> unset(nullptr, [](void*) { Mirel::Os::SetCopyOwnership(nullptr); });
    auto mode = [](const std::string& p) {
        struct stat st;
        return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 01;
    };
    WriteFile(tmp / "src", "bytes");
    ASSERT_EQ(::chmod((tmp / "src").c_str(), 0666), 0);
    ASSERT_EQ(Mirel::Os::CopyFile(tmp / "src", tmp / "kept"), 0);
    EXPECT_EQ(mode(tmp / "kept"), 0666u);  // no ownership set: the source's mode
    EXPECT_EQ(Mirel::Os::MakeOwn(tmp / "kept"), 0);
    EXPECT_EQ(mode(tmp / "kept"), 0666u);

    Mirel::Os::Ownership own{::geteuid(), ::getegid()};
    Mirel::Os::SetCopyOwnership(&own);
    ASSERT_EQ(Mirel::Os::CopyFile(tmp / "src", tmp / "copy"), 0);
    EXPECT_TRUE(mode(tmp / "copy") == 0640u && ReadFile(tmp / "copy") == "bytes");
    EXPECT_EQ(Mirel::Os::MakeOwn(tmp / "src"), 0);
    EXPECT_EQ(mode(tmp / "src"), 0640u);

    ASSERT_TRUE(MakeFifo(tmp / "fifo"));
    EXPECT_TRUE(FinishesWithin(3000, {tmp / "fifo"}, [&] {
        EXPECT_EQ(Mirel::Os::MakeOwn(tmp / "fifo"), Mirel::kErrNotAFile);
    }));
    Mirel::FaultEnv::Scope disarm(faults);
    ASSERT_EQ(::chmod((tmp / "kept").c_str(), 0666), 0);
    faults.Arm(FsOp::kSetLocked, tmp / "kept", Mirel::kErrAccessDenied);
    EXPECT_EQ(Mirel::Os::MakeOwn(tmp / "kept"), Mirel::kErrAccessDenied);
    EXPECT_EQ(mode(tmp / "kept"), 0666u);
}

TEST_F(DirectoryTest, ErrorsKeepTheirErrnoAndTheirKind) {
    using Mirel::ErrorKind;
    // Renaming a folder into itself is EINVAL: no number of ours, not a passing state.
    MakeDirs(tmp / "d");
    const int rc = Mirel::Os::Rename(tmp / "d", tmp / "d/inside");
    EXPECT_TRUE(rc == Mirel::kErrSystemBase + EINVAL && Mirel::SystemErrno(rc) == EINVAL) << rc;
    EXPECT_TRUE(IsDir(tmp / "d"));

    const int sys = Mirel::kErrSystemBase;
    const std::pair<ErrorKind, std::vector<int>> kinds[] = {
        {ErrorKind::kNone, {0}},
        {ErrorKind::kEnvironment,
         {Mirel::kErrDiskFull, Mirel::kErrAccessDenied, Mirel::kErrOS, sys + ESTALE,
          sys + ETIMEDOUT}},
        {ErrorKind::kData,
         {Mirel::kErrInvalidFile, Mirel::kErrLogChainBreak, Mirel::kErrCrossDevice}},
        {ErrorKind::kBug, {sys + EINVAL, Mirel::kErrGeneric, 12345}}};
    for (const auto& [kind, numbers] : kinds) {
        for (int n : numbers) {
            EXPECT_EQ(Mirel::KindOf(n), kind) << n;
            EXPECT_EQ(Mirel::Error(n).Kind(), kind) << n;
        }
    }

    // What failed is set once, where the error is made; a caller's note does not replace it.
    Mirel::Error e(Mirel::kErrDiskFull, "rename", "InProgress");
    e.In("publish", "somewhere else");
    const Mirel::Error copy(e);
    EXPECT_EQ(copy.Operation() + " " + copy.Path(), "rename InProgress");
}
