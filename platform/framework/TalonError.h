#pragma once

#include "platform/support/Error.h"

namespace Talon {

// The framework's error object: a Mirel::Error that the framework's calls return.
class Error : public Mirel::Error {
public:
    using Mirel::Error::Error;
    Error() = default;
    Error(const Mirel::Error& e) : Mirel::Error(e) {}  // NOLINT
};

// An error for the command line: carries the process exit code.
class CLIExtError : public Mirel::ExtendedError {
public:
    CLIExtError(int number, int resultCode) : ExtendedError(number), mResultCode(resultCode) {}
    std::unique_ptr<Mirel::ExtendedError> Clone() const override {
        return std::make_unique<CLIExtError>(*this);
    }
    int GetResultCode() const { return mResultCode; }

private:
    int mResultCode;
};

}  // namespace Talon
