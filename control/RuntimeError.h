#pragma once

#include <stdexcept>
#include <string>

namespace qd::control {

// The one failure type of the programs: a number and a text, as the run-time
// error report shows them. Numbers follow the classic run-time error codes so
// that users recognise them.
class RuntimeError : public std::runtime_error {
  public:
    enum Number : int {
        Overflow = 6,
        SubscriptOutOfRange = 9,
        TypeMismatch = 13,
        LibraryNotLoaded = 48,
        EntryPointNotFound = 453,
    };

    RuntimeError(int number, const std::string& text) : std::runtime_error(text), number_(number) {}

    int number() const noexcept { return number_; }

    static RuntimeError overflow() { return {Overflow, "Overflow"}; }
    static RuntimeError subscriptOutOfRange() {
        return {SubscriptOutOfRange, "Subscript out of range"};
    }
    static RuntimeError typeMismatch() { return {TypeMismatch, "Type mismatch"}; }

  private:
    int number_;
};

} // namespace qd::control
