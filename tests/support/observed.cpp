// The kit's observed values: each comparison and reading is told to the
// case's report, which keeps those a failure turns out to be about.
#include "observed.h"
#include "report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>

namespace kit {

bool Text::checked(std::string_view expected) const
{
    bool equal = std::string_view(*this) == expected;
    report::compared(this, origin_, *this, expected, equal);
    return equal;
}

bool Number::checked(long long expected) const
{
    bool equal = value_ == expected;
    report::compared(this, origin_, std::to_string(value_), std::to_string(expected), equal);
    return equal;
}

namespace {

std::string octal(long long mode)
{
    char text[32];
    std::snprintf(text, sizeof text, "0%llo", mode);
    return text;
}

}  // namespace

bool Mode::checked(long long expected) const
{
    bool equal = value_ == expected;
    report::compared(this, origin_, octal(value_), octal(expected), equal);
    return equal;
}

bool Truth::checked(bool expected) const
{
    bool equal = value_ == expected;
    report::compared(this, origin_, value_ ? "yes" : "no", expected ? "yes" : "no", equal);
    return equal;
}

Truth::operator bool() const
{
    // Read by EXPECT_TRUE or EXPECT_FALSE, it fails only when the other value was wanted.
    report::compared(this, origin_, value_ ? "yes" : "no", value_ ? "no" : "yes", false);
    return value_;
}

void PrintTo(const Text& text, std::ostream* out)
{
    report::shown(&text);
    testing::internal::UniversalPrint(static_cast<const std::string&>(text), out);
}

void PrintTo(const Number& number, std::ostream* out)
{
    report::shown(&number);
    *out << static_cast<int>(number);
}

void PrintTo(const Mode& mode, std::ostream* out)
{
    report::shown(&mode);
    *out << octal(static_cast<mode_t>(mode));
}

void PrintTo(const Truth& truth, std::ostream* out)
{
    report::shown(&truth);
    // Printed, not read: this is no check of its own.
    *out << (truth.value() ? "true" : "false");
}

}  // namespace kit
