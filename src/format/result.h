#pragma once

// The core's one error convention:
// - an operation that can fail returns Result<T> (Status when it makes nothing): a value, or
//   the reason it failed, in the system's own words where the system gave them;
// - where partial success is the point, an outcome value says what was done and what was
//   lost (ReadOutcome for a read, the copy's summary and per-item records, a mount's
//   warnings), never a bare success flag;
// - a refusal the user is told of is an enum value (FilterEditor::Outcome, WarningKind);
//   the words are src/text's or the CLI's, never the engine's;
// - no raw errno, -1 or empty-string-means-success crosses a layer's interface: the
//   destination's calls give a typed SysError, "not chosen yet" is an empty optional.

#include <optional>
#include <string>
#include <utility>

namespace trevik {

struct Error {
    std::string reason;
};

template <typename T> class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {} // NOLINT: a value converts implicitly
    Result(Error error) : error_(std::move(error.reason)) {}

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    // Moves the value out; only when ok().
    T Take() { return std::move(*value_); }
    // Empty when ok().
    const std::string& error() const { return error_; }

private:
    std::optional<T> value_;
    std::string error_;
};

// For operations that produce nothing but may fail.
struct Done {};
using Status = Result<Done>;
inline Status Ok() {
    return Done{};
}

} // namespace trevik
