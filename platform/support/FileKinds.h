// File name extensions of the database engine's files. They let a folder listing pick
// database files and redo logs without opening anything.
#pragma once

namespace Mirel {

inline constexpr const char16_t* kDatabaseExtension = u".vdb";
inline constexpr const char16_t* kRedoLogExtension = u".vrl";
inline constexpr const char16_t* kContainerSuffix = u".rc";

}  // namespace Mirel

#include "platform/support/UniversalPath.h"

namespace Mirel {

// Remote-container data travels in a folder beside its file: "x.vdb" keeps "x.vdb.rc/",
// and a redo log "l.vrl" carries its container changes in "l.vrl.rc/".
inline UniversalPath ContainerFolderOf(const UniversalPath& file) {
    UniversalPath p = file;
    p.SetName(file.GetName() + kContainerSuffix);
    p.MakeFolder();
    return p;
}

}  // namespace Mirel
