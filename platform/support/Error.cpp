#include "platform/support/Error.h"

namespace Mirel {

Error::Error(const Error& other)
    : mNumber(other.mNumber), mExtended(other.mExtended ? other.mExtended->Clone() : nullptr) {}

Error& Error::operator=(const Error& other) {
    if (this != &other) {
        mNumber = other.mNumber;
        mExtended = other.mExtended ? other.mExtended->Clone() : nullptr;
    }
    return *this;
}

void Error::Set(const ExtendedError& ext) {
    mExtended = ext.Clone();
    mNumber = ext.GetNumber();
}

}  // namespace Mirel
