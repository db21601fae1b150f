// Words for a report: escapes, shell words, differences in short.
#include "wording.h"

#include "kit.h"

#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <utility>
#include <vector>

namespace kit::wording {
namespace {

// The length of the UTF-8 character at `at`, or 0 if the bytes there are none.
size_t utf8Length(std::string_view bytes, size_t at)
{
    auto byte = static_cast<unsigned char>(bytes[at]);
    size_t length = byte >= 0xf0 && byte <= 0xf4 ? 4 : byte >= 0xe0 ? 3 : byte >= 0xc2 && byte < 0xe0 ? 2 : 0;
    if (length == 0 || at + length > bytes.size())
        return 0;
    for (size_t i = 1; i < length; ++i)
        if ((static_cast<unsigned char>(bytes[at + i]) & 0xc0) != 0x80)
            return 0;
    return length;
}

}  // namespace

// Bytes the program made (its output, its file names), safe on a terminal:
// control bytes and what is no UTF-8 (any byte past ASCII, for `binary`
// data) as C escapes. A `message` (GoogleTest's, escaped already) keeps its
// line feeds and backslashes.
std::string escaped(std::string_view bytes, Bytes kind)
{
    bool lines = kind == Bytes::message;
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\n' && lines)
            out += '\n';
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\')
            out += lines ? "\\" : "\\\\";
        else if (c >= 32 && c < 127)
            out += static_cast<char>(c);
        else if (size_t n = c >= 0x80 && kind != Bytes::binary ? utf8Length(bytes, i) : 0; n > 0) {
            out.append(bytes.substr(i, n));
            i += n - 1;
        } else {
            char octal[8];
            std::snprintf(octal, sizeof octal, "\\%03o", c);
            out += octal;
        }
    }
    return out;
}

std::string quotedText(std::string_view bytes, Bytes kind)
{
    return "\"" + escaped(bytes, kind) + "\"";
}

std::string shellWord(const std::string& word)
{
    bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("_./=:,+-@%$").find(c) != std::string_view::npos;
    });
    if (plain)
        return word;
    bool printable = std::all_of(word.begin(), word.end(), [](char c) { return c >= 32 && c < 127; });
    if (!printable)
        return "$'" + escaped(word) + "'";  // bash reads the same escapes back
    std::string out = "'";
    for (char c : word)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Bytes as printf would take them back, cut short when long.
std::string printfText(const std::string& bytes)
{
    std::string out;
    for (unsigned char c : bytes.substr(0, 80)) {
        if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c == '\\') out += "\\\\";
        else if (c == '%') out += "%%";
        else if (c == '\'') out += "'\\''";
        else if (c < 32 || c > 126) { char octal[8]; std::snprintf(octal, sizeof octal, "\\%03o", c); out += octal; }
        else out += static_cast<char>(c);
    }
    return "printf '" + out + "'" + (bytes.size() > 80 ? " ...(" + std::to_string(bytes.size()) + " bytes in all)" : "");
}

std::string octal(mode_t mode, int width)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*o", width, static_cast<unsigned>(mode));
    return text;
}

std::string ordinal(const std::string& when)
{
    bool onward = !when.empty() && when.back() == '+';
    std::string n = onward ? when.substr(0, when.size() - 1) : when;
    std::string suffix = "th";
    if (n.size() < 2 || n[n.size() - 2] != '1') {
        if (n.back() == '1') suffix = "st";
        else if (n.back() == '2') suffix = "nd";
        else if (n.back() == '3') suffix = "rd";
    }
    return n + suffix + (onward ? " and every later" : "");
}

// A signal by its name: "SIGSEGV"; "none" for 0.
std::string signalName(int sig)
{
    const char* name = sig > 0 ? sigabbrev_np(sig) : nullptr;
    return sig == 0 ? "none" : name ? "SIG" + std::string(name) : "signal " + std::to_string(sig);
}

// Whether the bytes are text: printable, line feeds and tabs, or UTF-8.
bool printable(std::string_view bytes)
{
    for (size_t i = 0; i < bytes.size(); ++i) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x80) {
            size_t n = utf8Length(bytes, i);
            if (n == 0)
                return false;
            i += n - 1;
        } else if ((c < 32 && c != '\n' && c != '\t') || c == 127) {
            return false;
        }
    }
    return true;
}

// Two texts that differ: whole when short, else from the first line or byte
// that differs, with a few bytes on each side.
std::string textDifference(std::string_view got, std::string_view expected)
{
    constexpr size_t shortText = 100;
    size_t first = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end()).first - got.begin();
    bool oneLine = got.find('\n') >= got.size() - 1 && expected.find('\n') >= expected.size() - 1;
    if (got.size() <= shortText && expected.size() <= shortText && oneLine)
        return "expected " + quotedText(expected) + ", got " + quotedText(got);
    auto sizes = std::to_string(expected.size()) + " bytes expected, " + std::to_string(got.size()) + " got";
    if (printable(got) && printable(expected) && got.size() <= 4096 && expected.size() <= 4096) {
        // Lines of text: the first that differs and the next, from each, if they are short.
        auto gotLines = lines(got), expectedLines = lines(expected);
        size_t line = std::count(got.begin(), got.begin() + static_cast<long>(first), '\n');
        std::string text = "line " + std::to_string(line + 1) + " differs (" + std::to_string(expectedLines.size()) +
                           " lines expected, " + std::to_string(gotLines.size()) + " got)";
        bool shortLines = true;
        for (const auto& [label, all] : {std::pair{"expected", &expectedLines}, std::pair{"got", &gotLines}}) {
            std::string indent = "\n  " + std::string(label) + std::string(10 - std::strlen(label), ' ');
            if (line >= all->size())
                text += indent + "(no such line)";
            for (size_t i = line; i < line + 2 && i < all->size(); ++i) {
                shortLines = shortLines && (*all)[i].size() <= shortText;
                text += (i == line ? indent : "\n            ") + quotedText((*all)[i]);
            }
        }
        if (shortLines)
            return text;
    }
    // Bytes: a few on each side of the first that differs.
    constexpr size_t before = 6, after = 10;
    bool text = printable(got) && printable(expected);
    size_t from = first > before ? first - before : 0;
    auto near = [&](std::string_view bytes) {
        if (first >= bytes.size())
            return std::string("(the end)");
        auto shown = bytes.substr(from, first - from + after);
        return std::string(from > 0 ? "..." : "") + quotedText(shown, text ? Bytes::text : Bytes::binary) + (from + shown.size() < bytes.size() ? "..." : "");
    };
    if (first == std::min(got.size(), expected.size()))
        return sizes + "; the first " + std::to_string(first) + " are the same, then " +
               (got.size() < expected.size() ? "expected " + near(expected) + ", got the end"
                                             : "got " + near(got) + " where the end was expected");
    return sizes + "; they differ at offset " + std::to_string(first) + " (bytes from offset " + std::to_string(from) +
           "):\n  expected  " + near(expected) + "\n  got       " + near(got);
}

std::string spoken(std::string_view camel)
{
    std::string text;
    for (size_t i = 0; i < camel.size(); ++i) {
        char c = camel[i];
        // A word starts at a capital after a small letter, or at the last
        // capital of a run that a small letter follows: "OnAFull" is "on a full".
        auto upper = [&](size_t at) { return at < camel.size() && std::isupper(static_cast<unsigned char>(camel[at])); };
        auto lower = [&](size_t at) { return at < camel.size() && std::islower(static_cast<unsigned char>(camel[at])); };
        if (upper(i) && i > 0 && (!upper(i - 1) || lower(i + 1)))
            text += ' ';
        text += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string indented(const std::string& text, const std::string& by)
{
    std::string out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out += by + line + "\n";
    return out;
}

std::string jsonString(std::string_view text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\')
            out += std::string("\\") + static_cast<char>(c);
        else if (c == '\n')
            out += "\\n";
        else if (c < 32 || c == 127) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

}  // namespace kit::wording
