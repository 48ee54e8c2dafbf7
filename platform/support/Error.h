#pragma once

#include <memory>
#include <string>

#include "platform/support/ErrorCodes.h"

namespace Mirel {

// Extra detail an error can carry (for example an exit code for the command line).
class ExtendedError {
public:
    explicit ExtendedError(int number) : mNumber(number) {}
    virtual ~ExtendedError() = default;
    virtual std::unique_ptr<ExtendedError> Clone() const = 0;
    int GetNumber() const { return mNumber; }

private:
    int mNumber;
};

// Error object returned by value. Number 0 is success.
class Error {
public:
    Error() = default;
    Error(int number) : mNumber(number) {}  // NOLINT: numbers convert implicitly by design
    Error(const Error& other);
    Error& operator=(const Error& other);
    Error(Error&&) noexcept = default;
    Error& operator=(Error&&) noexcept = default;
    virtual ~Error() = default;

    bool OK() const { return mNumber == 0; }
    int GetError() const { return mNumber; }
    void Set(int number) {
        mNumber = number;
        mExtended.reset();
    }
    // Keeps a copy of the extended error and takes over its number.
    void Set(const ExtendedError& ext);
    const ExtendedError* GetExtended() const { return mExtended.get(); }

    // The number and its words, as people read it: "20407 no space left on the backup
    // volume". Event records carry the bare number.
    std::string Text() const { return ErrorText(mNumber); }

private:
    int mNumber = 0;
    std::unique_ptr<ExtendedError> mExtended;
};

}  // namespace Mirel
