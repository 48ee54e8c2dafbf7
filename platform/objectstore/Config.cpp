#include "platform/objectstore/Config.h"

#include <map>
#include <sstream>

#include "platform/support/Os.h"

namespace ObjectStore {

namespace {

Status Refuse(const std::string& path, const std::string& why, int localError = 0) {
    Status s;
    s.cause = Cause::kConfig;
    s.operation = "LoadCredentials";
    s.key = path;
    s.message = why;
    s.localError = localError;
    return s;
}

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

}  // namespace

Status LoadCredentials(const std::string& path, Config& config) {
    int fd = -1;
    int err = Mirel::Os::OpenRead(path, fd);
    if (err != 0) return Refuse(path, "cannot open the credentials file", err);
    Mirel::Os::Info info;
    std::string text;
    err = Mirel::Os::FStat(fd, info, path);
    if (err == 0 && info.isFile && info.size <= 64 * 1024) {
        text.resize(info.size);
        std::size_t got = 0;
        err = Mirel::Os::PReadAll(fd, text.data(), text.size(), 0, got, path);
        text.resize(got);
    }
    Mirel::Os::Close(fd);
    if (err != 0) return Refuse(path, "cannot read the credentials file", err);
    if (!info.isFile) return Refuse(path, "the credentials file is not a regular file");
    if (info.size > 64 * 1024) return Refuse(path, "the credentials file is over 64 KiB");
    // The secret is for the service alone: a file others may read has leaked it already.
    if ((info.mode & 077) != 0) {
        std::ostringstream m;
        m << "the credentials file may be read or written by group or others (mode " << std::oct
          << (info.mode & 0777) << "); allow its owner only: chmod 600 " << path;
        return Refuse(path, m.str());
    }

    std::map<std::string, std::string> values;
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string t = Trim(line);
        if (t.empty() || t[0] == '#') continue;
        const auto eq = t.find('=');
        const std::string where = "line " + std::to_string(number) + ": ";
        if (eq == std::string::npos) return Refuse(path, where + "no '=' (key = value)");
        const std::string key = Trim(t.substr(0, eq));
        const std::string value = Trim(t.substr(eq + 1));
        static const char* const known[] = {"endpoint",   "region",     "bucket",
                                            "access_key", "secret_key", "ca_file"};
        bool isKnown = false;
        for (const char* k : known) isKnown = isKnown || key == k;
        if (!isKnown) return Refuse(path, where + "unknown key \"" + key + "\"");
        if (values.count(key) != 0) return Refuse(path, where + "\"" + key + "\" given twice");
        values[key] = value;
    }
    for (const char* k : {"endpoint", "bucket", "access_key", "secret_key"}) {
        if (values[k].empty()) return Refuse(path, std::string("no ") + k);
    }
    const std::string& endpoint = values["endpoint"];
    if (endpoint.rfind("http://", 0) != 0 && endpoint.rfind("https://", 0) != 0) {
        return Refuse(path, "the endpoint must start with http:// or https://");
    }
    config.endpoint = endpoint;
    if (!values["region"].empty()) config.region = values["region"];
    config.bucket = values["bucket"];
    config.accessKey = values["access_key"];
    config.secretKey = values["secret_key"];
    config.caFile = values["ca_file"];
    return {};
}

}  // namespace ObjectStore
