// What the kit hands a test to look at (a run's outputs and status, a file's
// contents, mode or presence): each value knows what it is, so that a check
// that finds a difference tells the case's report what differed, in full.
// They behave as the plain values they hold (a std::string, an int, a bool).
#pragma once

#include <sys/types.h>

#include <concepts>
#include <iosfwd>
#include <string>
#include <string_view>
#include <utility>

namespace kit {

// Where a test asked for a value: as a default argument, the file and line
// of the call (the builtins that std::source_location is made of, which
// Clang's library support lacks before version 15).
struct Asked {
    Asked(const char* callerFile = __builtin_FILE(), unsigned callerLine = __builtin_LINE())
        : file(callerFile), line(callerLine)
    {
    }
    const char* file;
    unsigned line;
};

// What an observed value is: an output of a run of the case, or a file.
struct Origin {
    enum class Kind { none, output, errors, line, status, signal, timedOut, contents, mode, presence };
    Kind kind = Kind::none;
    int run = -1;       // the case's run, for what a run gave
    std::string path;   // the file, for what is on disk
    // Where the test asked, for what it asked for itself (a file's contents).
    const char* file = nullptr;
    unsigned line = 0;
};

// Bytes a run wrote, or a file holds: a std::string.
class Text : public std::string {
public:
    Text() = default;
    // Made by the test itself (`ok ? kit::readFile(f) : ""`): a text of no origin.
    Text(std::string bytes) : std::string(std::move(bytes)) {}
    Text(const char* bytes) : std::string(bytes) {}
    Text(std::string bytes, Origin origin) : std::string(std::move(bytes)), origin_(std::move(origin)) {}
    using std::string::operator=;
    const Origin& origin() const { return origin_; }

    friend bool operator==(const Text& got, const std::string& expected) { return got.checked(expected); }
    friend bool operator==(const Text& got, const char* expected) { return got.checked(expected); }
    friend bool operator==(const Text& got, std::string_view expected) { return got.checked(expected); }
    friend bool operator==(const Text& got, const Text& expected) { return got.checked(expected); }

private:
    bool checked(std::string_view expected) const;
    Origin origin_;
};

// A number a run ended with (its exit status, the signal that ended it): an int.
class Number {
public:
    Number(int value = 0) : value_(value) {}
    Number(int value, Origin origin) : value_(value), origin_(std::move(origin)) {}
    operator int() const { return value_; }
    const Origin& origin() const { return origin_; }

    template <std::integral N>
    friend bool operator==(const Number& got, N expected) { return got.checked(static_cast<long long>(expected)); }
    friend bool operator==(const Number& got, const Number& expected) { return got.checked(expected.value_); }

private:
    bool checked(long long expected) const;
    int value_;
    Origin origin_;
};

// Permission bits, set-id and sticky, as modeOf gives them: a mode_t, shown in octal.
class Mode {
public:
    Mode(mode_t value = 0) : value_(value) {}
    Mode(mode_t value, Origin origin) : value_(value), origin_(std::move(origin)) {}
    operator mode_t() const { return value_; }
    const Origin& origin() const { return origin_; }

    template <std::integral N>
    friend bool operator==(const Mode& got, N expected) { return got.checked(static_cast<long long>(expected)); }
    friend bool operator==(const Mode& got, const Mode& expected) { return got.checked(expected.value_); }

private:
    bool checked(long long expected) const;
    mode_t value_;
    Origin origin_;
};

// A yes or no (whether a file exists, whether a run ran past its deadline):
// a bool. A test looks at it by EXPECT_TRUE or EXPECT_FALSE, which compare
// nothing: each reading is told to the report as the opposite expected.
class Truth {
public:
    Truth(bool value = false) : value_(value) {}
    Truth(bool value, Origin origin) : value_(value), origin_(std::move(origin)) {}
    operator bool() const;
    bool value() const { return value_; }  // read without telling the report
    const Origin& origin() const { return origin_; }

    friend bool operator==(const Truth& got, bool expected) { return got.checked(expected); }
    friend bool operator==(const Truth& got, const Truth& expected) { return got.checked(expected.value_); }

private:
    bool checked(bool expected) const;
    bool value_;
    Origin origin_;
};

// Failure messages show the values as GoogleTest shows the plain ones.
void PrintTo(const Text& text, std::ostream* out);
void PrintTo(const Number& number, std::ostream* out);
void PrintTo(const Mode& mode, std::ostream* out);
void PrintTo(const Truth& truth, std::ostream* out);

}  // namespace kit
