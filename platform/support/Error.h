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

// Error object returned by value. Number 0 is success. Besides the number callers compare,
// it can say what failed (the operation and the path, set where the error is made) and what
// kind of failure it is (from the number, unless the maker knows better).
class Error {
public:
    Error() = default;
    Error(int number) : mNumber(number), mKind(KindOf(number)) {}  // NOLINT: by design
    Error(int number, std::string operation, std::string path)
        : mNumber(number),
          mKind(KindOf(number)),
          mOperation(number ? std::move(operation) : std::string()),
          mPath(number ? std::move(path) : std::string()) {}
    Error(const Error& other);
    Error& operator=(const Error& other);
    Error(Error&&) noexcept = default;
    Error& operator=(Error&&) noexcept = default;
    virtual ~Error() = default;

    bool OK() const { return mNumber == 0; }
    int GetError() const { return mNumber; }
    void Set(int number) {
        mNumber = number;
        mKind = KindOf(number);
        mOperation.clear();
        mPath.clear();
        mErrno = 0;
        mExtended.reset();
    }
    ErrorKind Kind() const { return mKind; }
    // For the maker that knows more than the number: a folder the whole cycle needs is the
    // environment's failure, whatever its number.
    Error& SetKind(ErrorKind kind) {
        if (mNumber != 0) mKind = kind;
        return *this;
    }
    // The operation and the path, unless the error already has them.
    Error& In(std::string operation, std::string path) {
        if (mNumber != 0 && mOperation.empty()) {
            mOperation = std::move(operation);
            mPath = std::move(path);
        }
        return *this;
    }
    const std::string& Operation() const { return mOperation; }
    // The errno the system answered, where the error came from a system call (else 0).
    int SystemErrno() const { return mErrno; }
    Error& SetSystemErrno(int e) {
        if (mNumber != 0) mErrno = e;
        return *this;
    }
    const std::string& Path() const { return mPath; }
    // Keeps a copy of the extended error and takes over its number.
    void Set(const ExtendedError& ext);
    const ExtendedError* GetExtended() const { return mExtended.get(); }

    // As people read it (Describe). Event records carry the bare number.
    std::string Text() const;

private:
    int mNumber = 0;
    ErrorKind mKind = ErrorKind::kNone;
    std::string mOperation, mPath;
    int mErrno = 0;
    std::unique_ptr<ExtendedError> mExtended;
};

// The one text of an error: "rename InProgress -> LastGood_2026-12-06_2245 failed: no space
// left on the backup volume (20407)" when it knows what failed, "20407 no space left on the
// backup volume" when it knows only its number.
std::string Describe(const Error& e);
// What an interval waits for, as the status lines say it: Describe when the operation that
// failed is known, else "error 20407 no space left on the backup volume". `words`, when
// given, are the ones recorded with the number (a newer service's number keeps its words).
std::string DescribeWait(int e, const std::string& what, const std::string& words = {});

}  // namespace Mirel
