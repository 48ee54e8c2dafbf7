#include "platform/support/Error.h"

namespace Mirel {

Error::Error(const Error& other)
    : mNumber(other.mNumber),
      mKind(other.mKind),
      mOperation(other.mOperation),
      mPath(other.mPath),
      mErrno(other.mErrno),
      mExtended(other.mExtended ? other.mExtended->Clone() : nullptr) {}

Error& Error::operator=(const Error& other) {
    if (this != &other) {
        mNumber = other.mNumber;
        mKind = other.mKind;
        mOperation = other.mOperation;
        mPath = other.mPath;
        mErrno = other.mErrno;
        mExtended = other.mExtended ? other.mExtended->Clone() : nullptr;
    }
    return *this;
}

void Error::Set(const ExtendedError& ext) {
    Set(ext.GetNumber());
    mExtended = ext.Clone();
}

std::string Error::Text() const {
    return Describe(*this);
}

}  // namespace Mirel
