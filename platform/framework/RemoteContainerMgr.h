#pragma once

#include "platform/framework/TalonError.h"
#include "platform/support/Directory.h"
#include "platform/support/Listing.h"

namespace Talon {

// The remote-container data of a database: the folder "<file>.rc" beside the database file.
class RemoteContainerMgr {
public:
    explicit RemoteContainerMgr(const Mirel::UniversalPath& databaseFile);
    const Mirel::UniversalPath& GetRCRootPath() const { return mRoot; }
    // Deletes the container folder with its content; links inside are removed, not followed.
    Error DeleteAll(bool includeRoot);
    const Error& GetLastError() const { return mLastError; }

private:
    Mirel::UniversalPath mRoot;
    Error mLastError;
};

// Walks a database's container folder (ProcessFiles on its root) and recreates it for the
// same database name in a destination folder, file by file.
class RCFileAbstractFunctor : public Mirel::FileFunctor {
public:
    RCFileAbstractFunctor(const Mirel::UniversalPath& sourceDatabase,
                          const Mirel::UniversalPath& destinationFolder);
    bool operator()(const Mirel::UniversalPath& path, bool isFolder, int depth) override;
    const Error& GetLastError() const { return mLastError; }
    // The container file the functor failed on (empty while no error).
    const Mirel::UniversalPath& GetFailedPath() const { return mFailedPath; }

protected:
    virtual int Transfer(const std::string& from, const std::string& to) = 0;

private:
    std::string mFromRoot, mToRoot;
    Error mLastError;
    Mirel::UniversalPath mFailedPath;
};

class RCFileHardLinkFunctor : public RCFileAbstractFunctor {
public:
    using RCFileAbstractFunctor::RCFileAbstractFunctor;

protected:
    int Transfer(const std::string& from, const std::string& to) override;
};

class RCFileCopyFunctor : public RCFileAbstractFunctor {
public:
    using RCFileAbstractFunctor::RCFileAbstractFunctor;

protected:
    int Transfer(const std::string& from, const std::string& to) override;
};

}  // namespace Talon
