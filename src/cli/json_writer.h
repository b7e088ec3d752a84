#pragma once

// JSON written as it is produced, row by row, without a document in memory. The bytes are
// those nlohmann::json's compact dump() writes for the same values (with invalid UTF-8
// replaced by U+FFFD), so that streamed and built documents cannot be told apart.

#include <charconv>
#include <concepts>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace trevik::cli {

// Appends `s` as a JSON string, quotes included: '"', '\\' and control characters
// escaped, valid UTF-8 kept as it is, each invalid sequence replaced by U+FFFD.
void AppendJsonString(std::string& out, std::string_view s);
// The most a string of `length` bytes can take as JSON (every byte escaped as \u00XX, and
// the quotes).
constexpr size_t JsonStringRoom(size_t length) {
    return 6 * length + 2;
}
// The same string written at `o`, which has JsonStringRoom(s.size()) bytes of room; returns
// where it ends.
char* WriteJsonString(char* o, std::string_view s);

class JsonWriter {
public:
    explicit JsonWriter(std::FILE* out) : out_(out) { buf_.reserve(kFlushAt + 4096); }
    ~JsonWriter() { Flush(); }
    JsonWriter(const JsonWriter&) = delete;
    JsonWriter& operator=(const JsonWriter&) = delete;

    void BeginObject() { Open('{'); }
    void EndObject() { Close('}'); }
    void BeginArray() { Open('['); }
    void EndArray() { Close(']'); }
    // The name of the next member of the object open now.
    void Key(std::string_view name) {
        Separate();
        AppendJsonString(buf_, name);
        buf_ += ':';
        afterKey_ = true;
    }
    void String(std::string_view s) {
        Separate();
        AppendJsonString(buf_, s);
        Wrote();
    }
    void Bool(bool b) {
        Separate();
        buf_ += b ? "true" : "false";
        Wrote();
    }
    template <std::integral T> void Number(T n) {
        Separate();
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
        buf_.append(digits, end);
        Wrote();
    }
    void Null() { RawValue("null"); }
    // A string member, or null when there is none (empty).
    void StringOrNull(std::string_view name, std::string_view value) {
        Key(name);
        if (value.empty()) {
            Null();
        } else {
            String(value);
        }
    }
    void Strings(std::string_view name, const std::vector<std::string>& values) {
        Key(name);
        BeginArray();
        for (const std::string& v : values)
            String(v);
        EndArray();
    }
    // A value already in JSON (from a small document dumped elsewhere).
    void RawValue(std::string_view json) {
        Separate();
        buf_ += json;
        Wrote();
    }
    template <typename T> void Member(std::string_view name, const T& value) {
        Key(name);
        if constexpr (std::is_same_v<T, bool>) {
            Bool(value);
        } else if constexpr (std::is_integral_v<T>) {
            Number(value);
        } else {
            String(value);
        }
    }
    // A value written straight into the buffer: Room(n) gives room for at most n bytes in
    // the container open now, Commit(end) keeps what was written up to `end`.
    char* Room(size_t n) {
        Separate();
        const size_t at = buf_.size();
        buf_.resize(at + n);
        return buf_.data() + at;
    }
    void Commit(const char* end) {
        buf_.resize(static_cast<size_t>(end - buf_.data()));
        Wrote();
    }
    // Ends a line (after a whole document) and writes out what is buffered.
    void EndLine() {
        buf_ += '\n';
        Flush();
    }
    void Flush();

private:
    static constexpr size_t kFlushAt = 64 * 1024;
    void Open(char c) {
        Separate();
        buf_ += c;
        open_.push_back(false);
    }
    void Close(char c) {
        buf_ += c;
        open_.pop_back();
        Wrote();
    }
    // A comma before every value but the first of its container, none after a key.
    void Separate() {
        if (afterKey_) {
            afterKey_ = false;
        } else if (!open_.empty()) {
            if (open_.back())
                buf_ += ',';
            open_.back() = true;
        }
    }
    void Wrote() {
        afterKey_ = false;
        if (buf_.size() >= kFlushAt)
            Flush();
    }

    std::FILE* out_;
    std::string buf_;
    std::vector<bool> open_; // per open container: a value was written in it
    bool afterKey_ = false;
};

} // namespace trevik::cli
