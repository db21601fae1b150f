// Words for a report: bytes made safe for a terminal, words a shell reads
// back, and two texts' difference in short.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace kit::wording {

// Bytes the program made (its output, its file names), safe on a terminal:
// control bytes and what is no UTF-8 (any byte past ASCII, for `binary`
// data) as C escapes. A `message` (GoogleTest's, escaped already) keeps its
// line feeds and backslashes.
enum class Bytes { text, message, binary };
std::string escaped(std::string_view bytes, Bytes kind = Bytes::text);

// Bytes in double quotes, escaped.
std::string quotedText(std::string_view bytes, Bytes kind = Bytes::text);

// A word as a shell reads it back: bare when plain, else quoted ($'...'
// for bytes a terminal would act on).
std::string shellWord(const std::string& word);

// Bytes as printf would take them back, cut short when long.
std::string printfText(const std::string& bytes);

// A mode in octal, `width` digits at least: 0644.
std::string octal(mode_t mode, int width);

// strace's `when` in words: "1" is "1st", "2+" "2nd and every later".
std::string ordinal(const std::string& when);

// A signal by its name: "SIGSEGV"; "none" for 0.
std::string signalName(int sig);

// Whether the bytes are text: printable, line feeds and tabs, or UTF-8.
bool printable(std::string_view bytes);

// Two texts that differ: whole when short, else from the first line or byte
// that differs, with a few bytes on each side.
std::string textDifference(std::string_view got, std::string_view expected);

// A test's name in words: "OnAFullDevice" is "on a full device".
std::string spoken(std::string_view camel);

// Each line of `text` after `by`, each ended by a line feed.
std::string indented(const std::string& text, const std::string& by);

// `text` as a JSON string, quotes included.
std::string jsonString(std::string_view text);

}  // namespace kit::wording
