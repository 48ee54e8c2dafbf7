// ibsdb check: a pre-flight of a backup folder and the machine around it, before the
// service is pointed at it or when it will not start. It only reads (docs/operations.md).
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>
#include <utility>

#include "platform/framework/Prefs.h"
#include "platform/framework/ServiceSetup.h"
#include "platform/objectstore/Config.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"
#include "tools/ibsdb/Commands.h"
#include "tools/ibsdb/Common.h"

namespace ibsdb {

namespace {

struct Line {
    explicit Line(std::string name) : check(std::move(name)) {}
    std::string check;
    int state = kOk;
    std::string detail;
    Json extra = Json::object();
};

// The order in which one line's state outweighs another's: a check that could not be made
// says less than a fault, more than a warning.
int Weight(int state) {
    switch (state) {
        case kOk:
            return 0;
        case kWarning:
            return 1;
        case kUnknown:
            return 2;
        default:
            return 3;
    }
}

std::string Slashed(const std::string& name) {
    return name + "/";
}

bool Under(const std::string& path, const std::string& prefix) {
    if (prefix == "/") return true;
    return path == prefix ||
           (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
            path[prefix.size()] == '/');
}

// The path with its longest existing part resolved (links, "..") and the rest kept: the
// path the kernel, and so systemd's mount namespace, will meet.
std::string RealPath(const std::string& path) {
    std::string head = path, tail;
    while (!head.empty()) {
        if (char* real = ::realpath(head.c_str(), nullptr)) {
            std::string out = real;
            std::free(real);
            if (tail.empty()) return out;
            return out == "/" ? tail : out + tail;
        }
        auto slash = head.find_last_of('/');
        if (slash == std::string::npos) break;
        tail = head.substr(slash) + tail;
        head = head.substr(0, slash);
        if (head.empty()) return tail;
    }
    return path;
}

// The folder itself when it exists, else the nearest folder above it.
std::string ExistingFolder(const std::string& path) {
    std::string p = path;
    while (!Mirel::Os::IsFolder(p) && p != "/") p = Mirel::Os::ParentOf(p);
    return p;
}

// ---- file systems -------------------------------------------------------------------

struct Mount {
    std::uint64_t id = 0;
    bool known = false;
    std::string point, source;
};

// The mount a path is on. Two paths on one device but on different mounts (a bind mount)
// cannot be renamed or linked across either, so the mount is what counts.
Mount MountOf(const std::string& path) {
    Mount m;
    struct statx sx {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &sx) != 0) return m;
    if (!(sx.stx_mask & STATX_MNT_ID)) {
        // An older kernel: the device is the best there is.
        m.id = (static_cast<std::uint64_t>(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
        m.known = true;
        return m;
    }
    m.id = sx.stx_mnt_id;
    m.known = true;
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::uint64_t id = 0;
        std::string parent, devno, root, point;
        if (!(fields >> id >> parent >> devno >> root >> point) || id != m.id) continue;
        m.point = point;
        auto dash = line.find(" - ");
        if (dash != std::string::npos) {
            std::istringstream rest(line.substr(dash + 3));
            std::string type;
            rest >> type >> m.source;
        }
        break;
    }
    return m;
}

std::string Describe(const Mount& m) {
    if (m.point.empty()) return "an unnamed mount";
    return m.source.empty() || m.source == "none" ? "mounted at " + m.point
                                                  : m.source + " mounted at " + m.point;
}

// ---- the newest last-good folder ----------------------------------------------------

std::uint64_t TreeBytes(const std::string& dir) {
    std::uint64_t total = 0;
    std::vector<Mirel::Os::DirEntry> entries;
    if (Mirel::Os::ListDir(dir, entries) != 0) return 0;
    for (const auto& e : entries) {
        const std::string path = dir + "/" + e.name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) continue;  // removed by the service meanwhile
        if (S_ISDIR(st.st_mode))
            total += TreeBytes(path);
        else if (S_ISREG(st.st_mode))
            total += static_cast<std::uint64_t>(st.st_size);
    }
    return total;
}

// ---- the port -----------------------------------------------------------------------

struct Listener {
    std::string inode;
};

// Listening TCP sockets on `port` that a listener on `host` would collide with: the same
// address or the wildcard, over IPv4 and IPv6.
std::vector<Listener> ListenersOn(const std::string& host, unsigned port, bool& readable) {
    std::vector<Listener> out;
    in_addr v4{};
    in6_addr v6{};
    const bool is4 = ::inet_pton(AF_INET, host.c_str(), &v4) == 1;
    const bool is6 = !is4 && ::inet_pton(AF_INET6, host.c_str(), &v6) == 1;
    readable = false;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        if (!in) continue;
        readable = true;
        const bool six = std::strcmp(table, "/proc/net/tcp6") == 0;
        std::string line;
        std::getline(in, line);  // the header
        while (std::getline(in, line)) {
            std::istringstream f(line);
            std::string slot, local, remote, state, queues, timer, retr, uid, timeout, inode;
            if (!(f >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >>
                  timeout >> inode))
                continue;
            auto colon = local.find(':');
            if (state != "0A" || colon == std::string::npos) continue;  // 0A: LISTEN
            if (std::strtoul(local.substr(colon + 1).c_str(), nullptr, 16) != port) continue;
            // The address is the kernel's words in host order, in hexadecimal.
            const std::string hex = local.substr(0, colon);
            unsigned char bytes[16] = {};
            const std::size_t n = hex.size() / 2;
            for (std::size_t w = 0; w < n / 4; ++w) {
                std::uint32_t word = static_cast<std::uint32_t>(
                    std::strtoul(hex.substr(w * 8, 8).c_str(), nullptr, 16));
                std::memcpy(bytes + w * 4, &word, 4);
            }
            const bool wildcard = std::all_of(bytes, bytes + n, [](unsigned char b) { return !b; });
            bool same = false;
            if (!six && is4) same = std::memcmp(bytes, &v4, 4) == 0;
            if (six && is6) same = std::memcmp(bytes, &v6, 16) == 0;
            if (six && is4) {
                static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
                same = std::memcmp(bytes, mapped, 12) == 0 && std::memcmp(bytes + 12, &v4, 4) == 0;
            }
            if (wildcard || same) out.push_back({inode});
        }
    }
    return out;
}

// The process that holds socket `inode` open, and its program; 0 when none can be seen.
long SocketOwner(const std::string& inode, std::string& program) {
    const std::string want = "socket:[" + inode + "]";
    DIR* proc = ::opendir("/proc");
    if (!proc) return 0;
    long found = 0;
    while (dirent* p = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(p->d_name, &end, 10);
        if (pid <= 0 || *end) continue;
        const std::string fdDir = "/proc/" + std::string(p->d_name) + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (!fds) continue;
        while (dirent* f = ::readdir(fds)) {
            char target[64];
            ssize_t len = ::readlinkat(::dirfd(fds), f->d_name, target, sizeof target - 1);
            if (len <= 0) continue;
            target[len] = '\0';
            if (want == target) {
                found = pid;
                break;
            }
        }
        ::closedir(fds);
        if (found) break;
    }
    ::closedir(proc);
    if (!found) return 0;
    char exe[4096];
    ssize_t len =
        ::readlink(("/proc/" + std::to_string(found) + "/exe").c_str(), exe, sizeof exe - 1);
    if (len > 0) {
        exe[len] = '\0';
        program = exe;
        const std::string deleted = " (deleted)";
        if (program.size() > deleted.size() &&
            program.compare(program.size() - deleted.size(), deleted.size(), deleted) == 0)
            program.resize(program.size() - deleted.size());
    } else {
        std::ifstream comm("/proc/" + std::to_string(found) + "/comm");
        std::getline(comm, program);
    }
    return found;
}

// ---- the unit -----------------------------------------------------------------------

const char* const kUnitName = "vellumark-ibs.service";

std::vector<std::string> UnitSearchPath(const std::string& env) {
    // systemd's system unit folders, in the order it reads them.
    const std::vector<std::string> defaults = {
        "/etc/systemd/system.control", "/run/systemd/system.control",
        "/run/systemd/transient",      "/etc/systemd/system",
        "/run/systemd/system",         "/usr/local/lib/systemd/system",
        "/lib/systemd/system",         "/usr/lib/systemd/system"};
    if (env.empty()) return defaults;
    std::vector<std::string> out;
    std::size_t at = 0;
    for (;;) {
        std::size_t colon = env.find(':', at);
        std::string part =
            env.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
        if (!part.empty()) out.push_back(part);
        if (colon == std::string::npos) break;
        at = colon + 1;
    }
    // As for systemd: an empty entry (a trailing ':') stands for the default folders.
    if (env.back() == ':' || env.find("::") != std::string::npos)
        out.insert(out.end(), defaults.begin(), defaults.end());
    return out;
}

struct Rule {
    std::string setting;  // ReadWritePaths, StateDirectory, ...
    std::string path;     // as written (absolute)
    std::string written;  // the entry as the unit has it, for messages
    bool writable = false;
    bool optional = false;  // "-": ignored by systemd when the path does not exist
    bool created = false;   // a *Directory=: systemd creates it
};

struct Unit {
    std::string file;
    std::vector<std::string> dropIns;
    bool masked = false;
    std::string protectSystem = "no", protectHome = "no";
    bool privateTmp = false;
    std::vector<Rule> rules;
};

bool Truth(const std::string& v) {
    return v == "yes" || v == "true" || v == "on" || v == "1";
}

std::vector<std::string> Words(const std::string& value) {
    std::vector<std::string> out;
    std::istringstream in(value);
    for (std::string w; in >> w;) {
        if (w.size() >= 2 && (w.front() == '"' || w.front() == '\'') && w.back() == w.front())
            w = w.substr(1, w.size() - 2);
        out.push_back(w);
    }
    return out;
}

void Apply(Unit& u, const std::string& key, const std::string& value) {
    static const std::map<std::string, std::string> directories = {
        {"StateDirectory", "/var/lib/"},
        {"LogsDirectory", "/var/log/"},
        {"CacheDirectory", "/var/cache/"},
        {"RuntimeDirectory", "/run/"}};
    const bool paths =
        key == "ReadWritePaths" || key == "ReadOnlyPaths" || key == "InaccessiblePaths";
    const auto dir = directories.find(key);
    if (key == "ProtectSystem") {
        u.protectSystem = Truth(value)                           ? "yes"
                          : value == "full" || value == "strict" ? value
                                                                 : "no";
    } else if (key == "ProtectHome") {
        u.protectHome = Truth(value)                               ? "yes"
                        : value == "read-only" || value == "tmpfs" ? value
                                                                   : "no";
    } else if (key == "PrivateTmp") {
        u.privateTmp = Truth(value);
    } else if (paths || dir != directories.end()) {
        // An empty assignment clears what was said before.
        if (value.empty())
            u.rules.erase(std::remove_if(u.rules.begin(), u.rules.end(),
                                         [&](const Rule& r) { return r.setting == key; }),
                          u.rules.end());
        for (std::string w : Words(value)) {
            Rule r;
            r.setting = key;
            r.written = key + "=" + w;
            while (!w.empty() && (w[0] == '-' || w[0] == '+')) {
                r.optional = r.optional || w[0] == '-';
                w.erase(0, 1);
            }
            if (dir != directories.end()) {
                w = w.substr(0, w.find(':'));  // "name:link" names a link to it as well
                r.path = dir->second + w;
                r.created = true;
                r.writable = true;
            } else {
                r.path = w;
                r.writable = key == "ReadWritePaths";
            }
            while (r.path.size() > 1 && r.path.back() == '/') r.path.pop_back();
            if (!r.path.empty() && r.path[0] == '/') u.rules.push_back(r);
        }
    }
}

// A unit file or drop-in as systemd reads it: a link is followed (units are often links
// into /lib/systemd), but only a regular file is read, and the open never waits (a FIFO
// planted there must not hold the pre-flight up). Anything else reads as empty.
std::string UnitText(const std::string& path) {
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return text;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buf[16384];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            text.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return text;
}

void ReadUnitFile(Unit& u, const std::string& path) {
    std::istringstream in(UnitText(path));
    bool service = false;
    std::string pending;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!pending.empty()) line = pending + " " + line;
        pending.clear();
        if (!line.empty() && line.back() == '\\') {
            pending = line.substr(0, line.size() - 1);
            continue;
        }
        auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#' || line[first] == ';') continue;
        line = line.substr(first);
        if (line[0] == '[') {
            service = line.rfind("[Service]", 0) == 0;
            continue;
        }
        auto eq = line.find('=');
        if (!service || eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
        auto v = value.find_first_not_of(" \t");
        value = v == std::string::npos ? std::string() : value.substr(v);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
        Apply(u, key, value);
    }
}

// The unit as systemd would read it: the first unit file on the search path, then every
// drop-in by file name (one in an earlier folder hides one of the same name further on).
bool LoadUnit(const std::vector<std::string>& searchPath, Unit& u) {
    for (const auto& dir : searchPath) {
        const std::string file = dir + "/" + kUnitName;
        struct stat st;
        if (::lstat(file.c_str(), &st) != 0) continue;
        char target[64];
        ssize_t n = ::readlink(file.c_str(), target, sizeof target - 1);
        if (n > 0) {
            target[n] = '\0';
            u.masked = std::string(target) == "/dev/null";
        }
        u.file = file;
        break;
    }
    if (u.file.empty()) return false;
    std::map<std::string, std::string> dropIns;
    for (const auto& dir : searchPath) {
        for (const std::string& sub : {std::string("service.d"), std::string(kUnitName) + ".d"}) {
            std::vector<Mirel::Os::DirEntry> entries;
            if (Mirel::Os::ListDir(dir + "/" + sub, entries) != 0) continue;
            for (const auto& e : entries) {
                if (e.name.size() < 6 || e.name.compare(e.name.size() - 5, 5, ".conf") != 0)
                    continue;
                dropIns.emplace(e.name, dir + "/" + sub + "/" + e.name);
            }
        }
    }
    ReadUnitFile(u, u.file);
    for (const auto& [name, path] : dropIns) {
        u.dropIns.push_back(path);
        ReadUnitFile(u, path);
    }
    return true;
}

// Whether the unit lets the service write `folder`; `why` names the setting that decides.
int UnitVerdict(const Unit& u, const std::string& folder, std::string& why) {
    const std::string real = RealPath(folder);
    for (const char* tmp : {"/tmp", "/var/tmp"}) {
        if (u.privateTmp && Under(real, tmp)) {
            why = std::string("PrivateTmp=yes gives the service a /tmp of its own: ") + folder +
                  " is not the folder the database server writes into; use a folder elsewhere";
            return kCritical;
        }
    }
    const Rule* best = nullptr;
    std::string bestPath;
    std::vector<const Rule*> ignored;
    for (const auto& r : u.rules) {
        const std::string path = RealPath(r.path);
        if (!Under(real, path)) continue;
        if (!r.created && !Mirel::Os::Stat(path).exists) {
            if (r.optional) {
                ignored.push_back(&r);
                continue;
            }
            if (r.writable) {
                why = r.written + " names " + r.path +
                      ", which does not exist: systemd refuses to start the service; create it";
                return kCritical;
            }
        }
        if (!best || path.size() >= bestPath.size()) {
            best = &r;
            bestPath = path;
        }
    }
    if (best && best->writable) {
        why = best->written + " lets the service write " + folder;
        return kOk;
    }
    std::string because;
    if (best) {
        because = best->written;
    } else if (u.protectHome != "no" &&
               (Under(real, "/home") || Under(real, "/root") || Under(real, "/run/user"))) {
        because = "ProtectHome=" + u.protectHome;
    } else if (u.protectSystem == "strict" && !Under(real, "/dev") && !Under(real, "/proc") &&
               !Under(real, "/sys")) {
        because = "ProtectSystem=strict";
    } else if ((u.protectSystem == "yes" || u.protectSystem == "full") &&
               (Under(real, "/usr") || Under(real, "/boot") || Under(real, "/efi") ||
                (u.protectSystem == "full" && Under(real, "/etc")))) {
        because = "ProtectSystem=" + u.protectSystem;
    } else {
        why = "nothing in the unit keeps the service from writing " + folder;
        return kOk;
    }
    why = because + " keeps the service from writing " + folder;
    for (const Rule* r : ignored)
        why += "; " + r->written + " would allow it, but " + r->path +
               " does not exist, so systemd ignores it: create it";
    if (ignored.empty())
        why +=
            ": allow it with a drop-in (systemctl edit vellumark-ibs.service: [Service] "
            "ReadWritePaths=" +
            folder + ")";
    return kCritical;
}

// ---- the checks ---------------------------------------------------------------------

const char* const kParts[] = {"Copies", "Changes", "InProgress"};

Line FolderLine(const std::string& backup, bool& exists, std::vector<std::string>& parts,
                std::vector<std::string>& lastGood) {
    Line l("folder");
    Mirel::Os::Info info;
    int rc = Mirel::Os::Stat(backup, info);
    exists = rc == 0 && Mirel::Os::IsFolder(backup);
    if (rc != 0 && rc != Mirel::kErrPathNotFound) {
        l.state = kUnknown;
        l.detail = backup + " cannot be examined: error " + Mirel::ErrorText(rc);
        return l;
    }
    if (!exists) {
        std::string problem;
        if (Talon::CheckBackupFolderPlace(backup, problem) != 0) {
            l.state = kCritical;
            l.detail = problem;
        } else {
            l.detail = backup + " does not exist yet; the service creates it in " +
                       Mirel::Os::ParentOf(backup);
        }
        return l;
    }
    std::vector<Mirel::Os::DirEntry> entries;
    if (int e = Mirel::Os::ListDir(backup, entries); e != 0) {
        l.state = kUnknown;
        l.detail = backup + " cannot be listed: error " + Mirel::ErrorText(e);
        return l;
    }
    for (const auto& e : entries) {
        for (const char* p : kParts)
            if (e.name == p) parts.push_back(e.name);
        if (LastGoodNameTime(e.name) != 0 && Mirel::Os::IsFolder(backup + "/" + e.name))
            lastGood.push_back(e.name);
    }
    std::sort(lastGood.begin(), lastGood.end(), [](const std::string& a, const std::string& b) {
        return LastGoodNameTime(a) < LastGoodNameTime(b);
    });
    l.detail = backup + " is a folder";
    if (parts.empty() && lastGood.empty())
        l.detail += " without a backup in it yet; the service sets it up";
    else
        l.detail += " with " + std::to_string(lastGood.size()) + " last-good folder(s)";
    l.extra["exists"] = true;
    l.extra["last_good_folders"] = lastGood.size();
    return l;
}

Line FileSystemLine(const std::string& backup, const std::string& base,
                    const std::vector<std::string>& parts,
                    const std::vector<std::string>& lastGood) {
    Line l("file-system");
    const Mount root = MountOf(base);
    if (!root.known) {
        l.state = kUnknown;
        l.detail = "cannot tell which file system " + base + " is on";
        return l;
    }
    std::vector<std::string> apart, links;
    std::vector<std::string> names = parts;
    names.insert(names.end(), lastGood.begin(), lastGood.end());
    for (const auto& name : names) {
        const std::string path = backup + "/" + name;
        if (Mirel::Os::Stat(path).isLink) {
            links.push_back(Slashed(name));
            continue;
        }
        const Mount m = MountOf(path);
        if (m.known && m.id != root.id) apart.push_back(Slashed(name) + " (" + Describe(m) + ")");
    }
    auto join = [](const std::vector<std::string>& v) {
        std::string s;
        for (const auto& x : v) s += (s.empty() ? "" : ", ") + x;
        return s;
    };
    l.extra["mount_point"] = root.point;
    if (!links.empty()) {
        l.state = kCritical;
        l.detail = join(links) + (links.size() == 1 ? " is" : " are") +
                   " a symbolic link: the service sets up only real folders";
        return l;
    }
    if (!apart.empty()) {
        l.state = kCritical;
        l.detail = join(apart) + " not on the backup folder's file system (" + Describe(root) +
                   "): the service renames and hard-links between its folders, which cannot "
                   "cross file systems";
        return l;
    }
    if (base != backup) {
        l.detail = backup + " will be on " + Describe(root);
        return l;
    }
    std::vector<std::string> missing;
    for (const char* p : kParts)
        if (std::find(parts.begin(), parts.end(), p) == parts.end()) missing.push_back(Slashed(p));
    std::vector<std::string> together = {"the folder"};
    for (const auto& p : parts) together.push_back(Slashed(p));
    if (!lastGood.empty())
        together.push_back(std::to_string(lastGood.size()) + " last-good folder(s)");
    if (together.size() == 1) {
        l.detail = "the folder is on " + Describe(root);
    } else {
        std::string last = together.back();
        together.pop_back();
        l.detail =
            join(together) + " and " + last + " are on one file system (" + Describe(root) + ")";
    }
    if (!missing.empty()) l.detail += "; the service makes " + join(missing);
    return l;
}

Line WritableLine(const std::string& backup, const std::string& base,
                  const std::vector<std::string>& parts, const std::vector<std::string>& lastGood) {
    Line l("writable");
    std::vector<std::string> paths = {base};
    if (base == backup) {
        for (const auto& p : parts) paths.push_back(backup + "/" + p);
        for (const auto& p : lastGood) paths.push_back(backup + "/" + p);
    }
    std::vector<std::string> denied;
    for (const auto& p : paths)
        if (!Mirel::Os::CanWrite(p)) denied.push_back(p);
    if (denied.empty()) {
        l.detail = base == backup ? backup + " and its folders are writable"
                                  : base + " is writable, so " + backup + " can be made";
        return l;
    }
    std::string list;
    for (const auto& d : denied) list += (list.empty() ? "" : ", ") + d;
    if (::geteuid() != 0) {
        // The service runs as root: what this user may not write says little.
        l.state = kUnknown;
        l.detail = list +
                   " not writable for this user; run ibsdb check as root to see what "
                   "the service sees";
        return l;
    }
    l.state = kCritical;
    l.detail = list + " not writable (a read-only file system)";
    return l;
}

Line SpaceLine(const std::string& backup, const std::string& base,
               const std::vector<std::string>& lastGood) {
    Line l("free-space");
    struct statvfs vfs {};
    if (::statvfs(base.c_str(), &vfs) != 0) {
        l.state = kUnknown;
        l.detail = "cannot tell the free space of " + base;
        return l;
    }
    const std::uint64_t free = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    l.extra["free_bytes"] = free;
    if (lastGood.empty()) {
        l.detail = SizeText(free) + " free; no last-good folder yet to compare with";
        return l;
    }
    const std::string newest = lastGood.back();
    const std::uint64_t size = TreeBytes(backup + "/" + newest);
    l.extra["newest_folder"] = newest;
    l.extra["newest_bytes"] = size;
    l.detail = SizeText(free) + " free; the newest last-good folder " + newest + " holds " +
               SizeText(size);
    // An interval starts from links to the newest copies and writes a private copy of each
    // database it changes: it may need as much again as the newest folder holds.
    if (free < size) {
        l.state = kCritical;
        l.detail += ": an interval that changes every database cannot complete";
    } else if (free / 2 < size) {
        l.state = kWarning;
        l.detail += ": less than twice that is free";
    }
    return l;
}

Line PrefsLine(const std::string& backup, const std::string& file) {
    Line l("preferences");
    Talon::ServicePrefs prefs;
    std::string problem;
    l.extra["file"] = file;
    if (Talon::ReadServicePrefs(file, prefs, problem) != 0) {
        l.state = kCritical;
        l.detail = problem + " (the service refuses to start)";
        return l;
    }
    if (!prefs.present) {
        l.detail = file + " does not exist: an empty store, the database server names the folder";
        return l;
    }
    if (!prefs.offsiteCredentials.empty()) {
        // Read as the service reads it at start.
        ObjectStore::Config config;
        const ObjectStore::Status s =
            ObjectStore::LoadCredentials(prefs.offsiteCredentials, config);
        if (!s.ok()) {
            l.state = kCritical;
            l.detail = file +
                       ": the off-host repository's credentials cannot be used: " + s.message +
                       " (preference 84; the service refuses to start)";
            return l;
        }
    }
    if (!prefs.configured) {
        l.detail = file +
                   " is valid; no backup folder configured (67 = 0): the database "
                   "server names it";
        return l;
    }
    l.extra["backup_folder"] = prefs.backupFolder;
    if (prefs.backupFolder == backup || Mirel::Os::SameObject(prefs.backupFolder, backup)) {
        l.detail = file + " is valid and names this folder (68)";
        return l;
    }
    if (Talon::CheckBackupFolderPlace(prefs.backupFolder, problem) != 0) {
        l.state = kCritical;
        l.detail = file + ": " + problem + " (the service refuses to start)";
        return l;
    }
    l.state = kWarning;
    l.detail = file + " is valid but names another backup folder, " + prefs.backupFolder +
               " (68): the service sets that one up at start";
    return l;
}

// Who holds the port, if anyone.
Line PortHolderLine(const std::string& host, unsigned port) {
    Line l("port");
    const std::string where = host + ":" + std::to_string(port);
    bool readable = false;
    auto listeners = ListenersOn(host, port, readable);
    if (!readable) {
        l.state = kUnknown;
        l.detail = "cannot read /proc/net/tcp to see who listens on " + where;
        return l;
    }
    if (listeners.empty()) {
        l.detail = where + " is free";
        return l;
    }
    std::string program;
    long pid = SocketOwner(listeners.front().inode, program);
    if (pid == 0) {
        l.state = kUnknown;
        l.detail = where + " is taken by a process this user cannot see; run ibsdb check as root";
        return l;
    }
    l.extra["pid"] = pid;
    l.extra["program"] = program;
    const std::string name = program.substr(program.find_last_of('/') + 1);
    if (name == "talonib") {
        l.detail =
            where + " is held by this service: " + program + ", process " + std::to_string(pid) +
            (Talon::InstanceLockPid() == pid ? " (named in " + Talon::InstanceLockPath() + ")"
                                             : std::string());
        return l;
    }
    l.state = kCritical;
    l.detail = where + " is taken by " + program + " (process " + std::to_string(pid) +
               "): the service cannot start; stop it, or set VELLUMARK_ORB_HOST to another "
               "local address";
    return l;
}

// Whether the kernel may hand `port` to an outgoing connection: in its ephemeral range and
// not reserved. False when it cannot be read.
bool EphemeralAndUnreserved(unsigned port) {
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    unsigned lo = 0, hi = 0;
    if (!(range >> lo >> hi) || port < lo || port > hi) return false;
    std::ifstream reserved("/proc/sys/net/ipv4/ip_local_reserved_ports");
    std::string list;
    if (!reserved) return false;
    std::getline(reserved, list);
    return !PortListed(list, port);
}

Line PortLine(const std::string& host, unsigned port) {
    Line l = PortHolderLine(host, port);
    if (l.state != kOk || !EphemeralAndUnreserved(port)) return l;
    l.extra["reserved"] = false;
    l.detail +=
        "; not reserved, so the kernel may give it to an outgoing connection and a "
        "start then waits until it is released (add it to "
        "net.ipv4.ip_local_reserved_ports, docs/install.md)";
    return l;
}

Line UnitLine(const std::string& backup, const std::vector<std::string>& searchPath) {
    Line l("unit");
    Unit u;
    if (!LoadUnit(searchPath, u)) {
        l.detail = std::string("no unit installed (") + kUnitName +
                   "): the service runs as it is started, without the unit's sandbox";
        return l;
    }
    l.extra["unit"] = u.file;
    l.extra["drop_ins"] = u.dropIns;
    std::string source = u.file;
    if (!u.dropIns.empty()) source += " and " + std::to_string(u.dropIns.size()) + " drop-in(s)";
    if (u.masked) {
        l.state = kWarning;
        l.detail = u.file + " is masked: systemd will not start the service";
        return l;
    }
    std::string why;
    l.state = UnitVerdict(u, backup, why);
    l.detail = source + ": " + why;
    return l;
}

}  // namespace

int Check(const CheckOptions& o, std::ostream& out) {
    std::vector<Line> lines;
    bool exists = false;
    std::vector<std::string> parts, lastGood;
    lines.push_back(FolderLine(o.backup, exists, parts, lastGood));
    // A folder still to be made is judged by the folder it will be made in.
    const std::string base = exists ? o.backup : ExistingFolder(o.backup);
    lines.push_back(FileSystemLine(o.backup, base, parts, lastGood));
    lines.push_back(WritableLine(o.backup, base, parts, lastGood));
    lines.push_back(SpaceLine(o.backup, base, lastGood));
    lines.push_back(
        PrefsLine(o.backup, o.prefs.empty() ? Talon::PrefKeys::DefaultDesignation() : o.prefs));
    lines.push_back(PortLine(o.host, o.port));
    lines.push_back(UnitLine(o.backup, UnitSearchPath(o.unitPath)));

    int code = kOk;
    std::vector<std::string> reasons;
    for (const auto& l : lines) {
        if (Weight(l.state) > Weight(code)) code = l.state;
        if (l.state != kOk) reasons.push_back(l.check + ": " + l.detail);
    }
    if (o.json) {
        Json checks = Json::array();
        for (const auto& l : lines) {
            Json c = {{"check", l.check}, {"state", ExitName(l.state)}, {"detail", l.detail}};
            for (auto& [k, v] : l.extra.items()) c[k] = v;
            checks.push_back(c);
        }
        out << Json{{"version", kJsonVersion}, {"backup", o.backup}, {"state", ExitName(code)},
                    {"exit_code", code},       {"reasons", reasons}, {"checks", checks}}
                   .dump(2)
            << "\n";
        return code;
    }
    // The first line stands alone for a monitoring system.
    out << ExitName(code) << ": ";
    if (reasons.empty()) {
        out << o.backup << " is ready for the service\n";
    } else {
        std::string names;
        for (const auto& l : lines)
            if (l.state != kOk) names += (names.empty() ? "" : ", ") + l.check;
        out << reasons.size() << " of " << lines.size() << " checks not OK: " << names << "\n";
    }
    for (const auto& l : lines) {
        std::string state = ExitName(l.state), name = l.check;
        state.resize(std::max<std::size_t>(state.size(), 9), ' ');
        name.resize(std::max<std::size_t>(name.size(), 12), ' ');
        out << state << name << l.detail << "\n";
    }
    return code;
}

bool PortListed(const std::string& list, unsigned port) {
    std::istringstream in(list);
    for (std::string item; std::getline(in, item, ',');) {
        const auto dash = item.find('-');
        char* end = nullptr;
        const unsigned long lo = std::strtoul(item.c_str(), &end, 10);
        if (end == item.c_str()) continue;
        unsigned long hi = lo;
        if (dash != std::string::npos) {
            const char* from = item.c_str() + dash + 1;
            hi = std::strtoul(from, &end, 10);
            if (end == from) continue;
        }
        if (port >= lo && port <= hi) return true;
    }
    return false;
}

}  // namespace ibsdb
