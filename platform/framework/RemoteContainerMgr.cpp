#include "platform/framework/RemoteContainerMgr.h"

#include "platform/support/FileKinds.h"
#include "platform/support/Os.h"

namespace Talon {

RemoteContainerMgr::RemoteContainerMgr(const Mirel::UniversalPath& databaseFile)
    : mRoot(Mirel::ContainerFolderOf(databaseFile)) {}

Error RemoteContainerMgr::DeleteAll(bool includeRoot) {
    Mirel::Directory root(mRoot);
    if (!Mirel::Os::Stat(mRoot.Native()).exists) {
        mLastError = Error();
        return mLastError;
    }
    mLastError = includeRoot ? root.DeleteAll() : root.DeleteContents();
    return mLastError;
}

RCFileAbstractFunctor::RCFileAbstractFunctor(const Mirel::UniversalPath& sourceDatabase,
                                             const Mirel::UniversalPath& destinationFolder)
    : mFromRoot(Mirel::ContainerFolderOf(sourceDatabase).Native()) {
    Mirel::UniversalPath destDb = destinationFolder;
    destDb.MakeFolder();
    destDb = destDb.Child(sourceDatabase.GetName(), true);
    mToRoot = Mirel::ContainerFolderOf(destDb).Native();
}

bool RCFileAbstractFunctor::operator()(const Mirel::UniversalPath& path, bool isFolder, int) {
    std::string from = path.Native();
    if (from.compare(0, mFromRoot.size(), mFromRoot) != 0) return true;
    std::string to = mToRoot + from.substr(mFromRoot.size());
    int rc;
    if (isFolder) {
        rc = Mirel::Directory(Mirel::UniversalPath::Folder(to)).CreateIfNotExists().GetError();
    } else {
        rc = Mirel::Directory(Mirel::UniversalPath::Folder(Mirel::Os::ParentOf(to)))
                 .CreateIfNotExists()
                 .GetError();
        if (rc == 0 && Mirel::Os::Stat(to).exists) rc = Mirel::Os::DeleteFile(to);
        if (rc == 0) rc = Transfer(from, to);
    }
    if (rc != 0) {
        mLastError = Error(rc);
        mFailedPath = path;
        return false;
    }
    return true;
}

int RCFileHardLinkFunctor::Transfer(const std::string& from, const std::string& to) {
    return Mirel::Os::HardLink(from, to);
}

int RCFileCopyFunctor::Transfer(const std::string& from, const std::string& to) {
    return Mirel::Os::CopyFile(from, to);
}

}  // namespace Talon
