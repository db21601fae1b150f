// The kit's main: each case's labels (the programs it runs), and for
// tests/check a plain report of each case: what it checks, the commands it
// ran as a shell would type them, and what differed from what was expected.
#include "report.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

namespace kit {
namespace {

// ---- Labels ---------------------------------------------------------------

// "Suite.Test" (without an instantiation's prefix or a parameter), or
// "Suite.Test/parameter" for one parameter alone -> programs.
std::map<std::string, std::vector<std::string>, std::less<>>& declared()
{
    static std::map<std::string, std::vector<std::string>, std::less<>> programs;
    return programs;
}

bool isProgramName(const std::string& name)
{
    auto all = words(KIT_PROGRAM_NAMES);
    return std::find(all.begin(), all.end(), name) != all.end();
}

std::string lowered(std::string text)
{
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A case's suite and name without "All/" before the suite or "/relocate" after the name.
std::string suiteOf(const testing::TestInfo& info)
{
    std::string suite = info.test_suite_name();
    return suite.substr(suite.rfind('/') + 1);
}

std::string nameOf(const testing::TestInfo& info)
{
    std::string name = info.name();
    return info.value_param() ? name.substr(0, name.rfind('/')) : name;
}

std::string parameterOf(const testing::TestInfo& info)
{
    std::string name = info.name();
    return info.value_param() ? name.substr(name.rfind('/') + 1) : "";
}

// The programs a case runs: the one its parameter (relocate) or else its
// suite (Resuffix) is named after, and those KIT_RUNS adds.
std::vector<std::string> labelsOf(const testing::TestInfo& info)
{
    std::set<std::string> labels;
    // A suite of several programs (Charcount: charcount, charcount2) is
    // named after none of them alone: its parameter says which.
    std::string named = info.value_param() ? parameterOf(info) : lowered(suiteOf(info));
    if (isProgramName(named))
        labels.insert(named);
    for (const auto& key : {suiteOf(info) + "." + nameOf(info), suiteOf(info) + "." + info.name()})
        if (auto found = declared().find(key); found != declared().end())
            labels.insert(found->second.begin(), found->second.end());
    return {labels.begin(), labels.end()};
}

// For ctest: a script that gives each case of this binary its labels.
int writeLabels(const std::string& file, const std::string& binary)
{
    std::ofstream out(file);
    out << "# The programs each case of " << binary << " runs, written by " << binary
        << " --kit_labels after each build.\n";
    auto* unit = testing::UnitTest::GetInstance();
    for (int i = 0; i < unit->total_test_suite_count(); ++i) {
        const auto* suite = unit->GetTestSuite(i);
        for (int j = 0; j < suite->total_test_count(); ++j) {
            const auto* info = suite->GetTestInfo(j);
            std::string labels;
            for (const auto& label : labelsOf(*info))
                labels += (labels.empty() ? "" : ";") + label;
            out << "set([=[kitLabels_" << info->test_suite_name() << "." << info->name() << "]=] \"" << labels
                << "\")\n";
        }
    }
    out << "foreach(test IN LISTS " << binary << "_TESTS)\n"
        << "  string(REGEX REPLACE \"^" << binary << "\\\\.\" \"\" case \"${test}\")\n"
        << "  if(NOT \"${kitLabels_${case}}\" STREQUAL \"\")\n"
        << "    set_tests_properties(\"${test}\" PROPERTIES LABELS \"${kitLabels_${case}}\")\n"
        << "  endif()\n"
        << "endforeach()\n";
    out.close();
    return out ? 0 : 1;
}

// ---- What one case did --------------------------------------------------------

// A run in words, taken while the case's directories still exist.
struct Run {
    Options options;
    std::string command;  // as a shell would type it
    std::string calls;    // the system calls it makes fail or holds back
    std::string before;   // the case's directories as the run found them
    std::optional<Result> result;
};

// A check that failed, in words, and the run it followed.
struct Finding {
    std::string row;      // the case's SCOPED_TRACE: which row of a table
    int run = -1;
    std::string field;    // "exit status", "standard error", "on disk: contents of f.md"...
    std::string expected, actual, note;
    std::string after;    // the directories when a check on disk failed
    std::string diff;     // two texts of several lines, line by line
};

struct Case {
    std::vector<Run> runs;
    std::set<std::string> started;  // programs
    std::vector<Finding> findings;
    std::string skipped;
};

Case current;
std::vector<std::string> liveDirs;                 // kit::TempDir, oldest first
std::vector<std::pair<std::string, std::string>> dirNames;  // path -> $D, $D2... in this case
bool labelsWrong = false;

// ---- Words for commands and files ---------------------------------------------

const std::string& nameForDir(const std::string& path)
{
    for (const auto& [dir, name] : dirNames)
        if (dir == path)
            return name;
    dirNames.emplace_back(path, dirNames.empty() ? "$D" : "$D" + std::to_string(dirNames.size() + 1));
    return dirNames.back().second;
}

// A path or argument with the case's directories as $D and programs by name.
std::string shortened(std::string text)
{
    for (const auto& [path, name] : report::programPaths())
        for (size_t at; (at = text.find(path)) != std::string::npos;)
            text.replace(at, path.size(), name);
    // The case's directories, those already removed too (a message may name one).
    for (const auto& dir : liveDirs)
        nameForDir(dir);
    for (const auto& [dir, name] : dirNames)
        for (size_t at; (at = text.find(dir)) != std::string::npos;)
            text.replace(at, dir.size(), name);
    return text;
}

std::string quoted(const std::string& word)
{
    bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("_./=:,+-@%$").find(c) != std::string_view::npos;
    });
    if (plain)
        return word;
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

std::string commandLine(const Options& o)
{
    std::string line;
    if (!o.cwd.empty())
        line += "cd " + quoted(shortened(o.cwd)) + " && ";
    if (o.umask != 022) {
        char mask[8];
        std::snprintf(mask, sizeof mask, "%03o", static_cast<unsigned>(o.umask));
        line += std::string("umask ") + mask + "; ";
    }
    if (!o.input.empty())
        line += printfText(o.input) + " | ";
    for (const auto& entry : o.env)
        line += entry.find('=') == std::string::npos ? "env -u " + entry + " " : quoted(entry) + " ";
    if (o.unprivileged)
        line += "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    for (size_t i = 0; i < o.argv.size(); ++i)
        line += (i ? " " : "") + quoted(shortened(o.argv[i]));
    if (!o.inputPath.empty())
        line += " < " + quoted(shortened(o.inputPath));
    if (!o.outputPath.empty())
        line += " > " + quoted(shortened(o.outputPath));
    return line;
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

// The system calls a run makes fail or holds back, in words; "" for none.
std::string callsOf(const Options& o)
{
    if (o.fault) {
        const Fault& f = *o.fault;
        std::string calls = f.call;
        std::replace(calls.begin(), calls.end(), ',', '/');
        std::string what = "the " + ordinal(f.when) + " " + calls + " call";
        if (!f.path.empty())
            what += " on " + shortened(f.path);
        if (!f.delay.empty())
            what += " is held back " + f.delay + " microseconds";
        if (!f.error.empty())
            what += std::string(f.delay.empty() ? "" : " and then") + " fails with " + f.error;
        return what;
    }
    // A test that runs strace itself, to fail, hold back or watch some calls.
    for (size_t i = 0; i + 1 < o.argv.size(); ++i)
        if (o.argv[0] == "strace" && o.argv[i] == "-e")
            return "strace -e " + o.argv[i + 1];
    return "";
}

std::string modeText(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

void listInto(const std::string& path, const std::string& shown, int depth, std::vector<std::string>& entries)
{
    DIR* dir = opendir(path.c_str());
    if (!dir) {
        entries.push_back(shown + "/ (unreadable)");
        return;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(dir))
        if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..")
            names.emplace_back(e->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        std::string full = path + "/" + name, label = shown.empty() ? name : shown + "/" + name;
        struct stat st;
        if (lstat(full.c_str(), &st) == -1)
            continue;
        if (S_ISDIR(st.st_mode)) {
            entries.push_back(label + "/ (" + std::to_string(st.st_size) + " bytes, " + modeText(st.st_mode) + ")");
            if (depth < 2)
                listInto(full, label, depth + 1, entries);
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            ssize_t n = readlink(full.c_str(), target, sizeof target - 1);
            entries.push_back(label + " -> " + shortened(std::string(target, n > 0 ? n : 0)));
        } else if (S_ISREG(st.st_mode)) {
            entries.push_back(label + " (" + std::to_string(st.st_size) + (st.st_size == 1 ? " byte, " : " bytes, ") +
                              modeText(st.st_mode) + ")");
        } else {
            std::string kind = S_ISFIFO(st.st_mode) ? "FIFO" : S_ISSOCK(st.st_mode) ? "socket" : "device";
            entries.push_back(label + " (" + kind + ", " + modeText(st.st_mode) + ")");
        }
    }
}

// The case's directories that a run names, briefly: what a learner needs to
// make the same start by hand.
std::string listing(const Options& o)
{
    std::string named = o.cwd + " " + o.inputPath + " " + o.outputPath + " " + (o.fault ? o.fault->path : "");
    for (const auto& arg : o.argv)
        named += " " + arg;
    std::string text;
    for (const auto& dir : liveDirs) {
        if (named.find(dir) == std::string::npos)
            continue;
        std::vector<std::string> entries;
        listInto(dir, "", 0, entries);
        constexpr size_t most = 12;
        struct stat st;
        std::string own = lstat(dir.c_str(), &st) == 0 ? " (" + std::to_string(st.st_size) + " bytes)" : "";
        std::string line = nameForDir(dir) + own + (entries.empty() ? " is an empty directory" : " holds: ");
        for (size_t i = 0; i < entries.size() && i < most; ++i)
            line += (i ? ", " : "") + entries[i];
        if (entries.size() > most)
            line += ", and " + std::to_string(entries.size() - most) + " more";
        text += (text.empty() ? "" : "\n") + line;
    }
    return text;
}

// ---- A failed check in words ----------------------------------------------------

// What an expression of the tests looks at: r.status, r.err, kit::readFile(dir / "f.md")...
std::string fieldOf(const std::string& expression)
{
    static const std::regex literal("\"([^\"]*)\"");
    std::string subject;
    for (std::sregex_iterator it(expression.begin(), expression.end(), literal), end; it != end; ++it)
        subject = (*it)[1];
    auto has = [&](const char* pattern) { return std::regex_search(expression, std::regex(pattern)); };
    if (has("readLine"))
        return "the next line of standard output";
    if (has("\\.status\\b"))
        return "exit status";
    if (has("\\.err\\b"))
        return "standard error";
    if (has("lastLine\\("))
        return "the last line of standard output";
    if (has("\\.out\\b"))
        return "standard output";
    if (has("\\.signal\\b"))
        return "the signal that ended it";
    if (has("\\.timedOut\\b"))
        return "whether it ran past its deadline";
    if (has("readFile\\("))
        return "on disk: the contents of " + subject;
    if (has("modeOf\\("))
        return "on disk: the mode of " + subject;
    if (has("exists\\("))
        return "on disk: whether " + (subject.empty() ? std::string("it") : subject) + " exists";
    if (has("entriesOf\\(") || has("inodeOf\\(") || has("stat\\("))
        return "on disk: " + (subject.empty() ? std::string("the files") : subject);
    return "";
}

Finding understand(std::string message)
{
    Finding f;
    // SCOPED_TRACE lines follow the check, innermost first: "file:line: row".
    if (auto at = message.find("\nGoogle Test trace:\n"); at != std::string::npos) {
        std::istringstream traces(message.substr(at + 20));
        std::vector<std::string> rows;
        for (std::string line; std::getline(traces, line);)
            if (auto colon = line.find(": "); colon != std::string::npos)
                rows.insert(rows.begin(), line.substr(colon + 2));
        for (const auto& row : rows)
            f.row += (f.row.empty() ? "" : ", ") + row;
        message.erase(at);
    }
    std::vector<std::string> lines;
    std::istringstream in(message);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    auto rest = [&](size_t from) {
        std::string text;
        for (size_t i = from; i < lines.size(); ++i)
            text += (text.empty() ? "" : "\n") + lines[i];
        return text;
    };
    static const std::regex binary("Expected: \\((.*)\\) (!=|<|<=|>|>=) \\((.*)\\), actual: (.*) vs (.*)");
    std::smatch m;
    if (!lines.empty() && lines[0] == "Expected equality of these values:") {
        // "  expression" and, unless it is a literal, "    Which is: value", twice.
        size_t i = 1;
        std::string expressions[2], values[2];
        for (int side = 0; side < 2 && i < lines.size(); ++side) {
            expressions[side] = lines[i].substr(std::min<size_t>(2, lines[i].size()));
            values[side] = expressions[side];
            if (++i < lines.size() && lines[i].rfind("    Which is: ", 0) == 0)
                values[side] = lines[i++].substr(14);
        }
        // Two texts of several lines come with their difference line by line.
        std::string diff;
        if (i < lines.size() && lines[i] == "With diff:")
            for (++i; i < lines.size() && !lines[i].empty() && std::string_view("@ -+").find(lines[i][0]) != std::string_view::npos; ++i)
                if (lines[i][0] != '@')
                    diff += (diff.empty() ? "" : "\n") + lines[i];
        int actual = fieldOf(expressions[0]).empty() && !fieldOf(expressions[1]).empty() ? 1 : 0;
        f.field = fieldOf(expressions[actual]);
        f.actual = values[actual];
        f.expected = values[1 - actual];
        if (f.field.empty())
            f.field = "the check " + expressions[actual];
        f.note = rest(i);
        if (!diff.empty()) {
            // The first text (-) is what the program did.
            f.diff = "line by line, - got, + expected:\n" + diff;
        }
    } else if (lines.size() >= 3 && lines[0].rfind("Value of: ", 0) == 0) {
        std::string expression = lines[0].substr(10);
        f.field = fieldOf(expression);
        if (f.field.empty())
            f.field = "the check " + expression;
        f.actual = lines[1].substr(lines[1].find(": ") + 2);
        f.expected = lines[2].substr(lines[2].find(": ") + 2);
        f.note = rest(3);
    } else if (!lines.empty() && std::regex_match(lines[0], m, binary)) {
        int actual = fieldOf(m[1]).empty() && !fieldOf(m[3]).empty() ? 3 : 1;
        f.field = fieldOf(m[actual]);
        if (f.field.empty())
            f.field = "the check " + m[1].str() + " " + m[2].str() + " " + m[3].str();
        f.actual = actual == 1 ? m[4] : m[5];
        f.expected = std::string(m[2] == "!=" ? "anything but " : m[2].str() + " ") + (actual == 1 ? m[5] : m[4]).str();

        f.note = rest(1);
    } else if (static const std::regex thrown("C\\+\\+ exception with description \"(.*)\" thrown in (.*)\\.");
               std::regex_match(message, m, thrown)) {
        f.note = "the case stopped: " + m[1].str();
    } else {
        f.note = message.rfind("Failed\n", 0) == 0 ? message.substr(7) : message;  // the kit's own failures
    }
    // A search of a text: its "no position" is a huge number to the reader.
    constexpr const char* npos = "18446744073709551615";
    if (f.actual == npos || f.expected == npos || f.expected == std::string("anything but ") + npos) {
        bool wanted = f.expected != npos;
        f.expected = wanted ? "found" : "not found";
        f.actual = f.actual == npos ? "not found" : "found";
    }
    // A name the check added to its message says what "it" was.
    if (auto it = f.field.find("whether it "); it != std::string::npos && !f.note.empty() &&
                                                f.note.find_first_of(" \n") == std::string::npos) {
        f.field.replace(it + 8, 2, f.note);
        f.note.clear();
    }
    // Modes are octal to anyone who reads them.
    if (f.field.find("the mode of") != std::string::npos)
        for (auto* value : {&f.expected, &f.actual})
            if (!value->empty() && std::all_of(value->begin(), value->end(), ::isdigit)) {
                char octal[16];
                std::snprintf(octal, sizeof octal, "0%o", static_cast<unsigned>(std::stoul(*value)));
                *value = octal;
            }
    return f;
}

// ---- The record tests/check reads ------------------------------------------------

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

// A value as the report shows it: a long one (a program's flood of output)
// by its start and the count of the rest.
std::string cut(const std::string& value)
{
    constexpr size_t shown = 200;
    if (value.size() <= shown)
        return value;
    return value.substr(0, shown) + "... (and " + std::to_string(value.size() - shown) + " more bytes)";
}

void writeRecord(const testing::TestInfo& info, const char* directory)
{
    const auto* result = info.result();
    std::string status = result->Skipped() ? "skipped" : result->Failed() ? "failed" : "passed";
    bool calls = false;
    std::string text;
    if (result->Skipped())
        text = current.skipped + "\n";
    // A table whose rows all fail alike is told by its first few.
    constexpr int shownRuns = 3;
    int runsShown = 0, runsLeft = 0;
    for (size_t i = 0; i < current.findings.size(); ++i) {
        const Finding& f = current.findings[i];
        // An exception ends the case outside its rows: it belongs to the last one.
        bool sameRun = i > 0 && current.findings[i - 1].run == f.run &&
                       (current.findings[i - 1].row == f.row || f.row.empty());
        if (!sameRun && runsShown == shownRuns) {
            ++runsLeft;
            continue;
        }
        if (sameRun && runsLeft > 0)
            continue;
        if (!sameRun) {
            ++runsShown;
            if (!f.row.empty())
                text += "row: " + f.row + "\n";
            if (f.run >= 0) {
                const Run& run = current.runs[f.run];
                text += "$ " + run.command + "\n";
                if (!run.before.empty())
                    text += indented(run.before, "    ");
                if (!run.calls.empty()) {
                    text += "    where " + run.calls + "\n";
                    calls = true;
                }
                // Peers started before it and still running then.
                for (int other = 0; other < f.run; ++other)
                    if (!current.runs[other].result)
                        text += "    alongside: " + current.runs[other].command + "\n";
            }
        }
        if (!f.diff.empty())
            text += "  " + f.field + ": " + f.diff.substr(0, f.diff.find('\n')) + "\n" +
                    indented(f.diff.substr(f.diff.find('\n') + 1), "      ");
        else if (!f.field.empty())
            text += "  " + f.field + ": expected " + cut(f.expected) + ", got " + cut(f.actual) + "\n";
        if (!f.note.empty())
            text += indented(f.note, f.field.empty() ? "  " : "    ");
        if (!f.after.empty())
            text += indented("left on disk: " + f.after, "    ");
    }
    if (runsLeft > 0)
        text += "(and " + std::to_string(runsLeft) + " more runs of this case that failed: the full log has them)\n";
    std::string title = spoken(suiteOf(info)) + ": " + spoken(nameOf(info));
    if (!parameterOf(info).empty())
        title += " (" + parameterOf(info) + ")";
    std::string labels;
    for (const auto& label : labelsOf(info))
        labels += (labels.empty() ? "" : " ") + label;

    std::string file = std::string(info.test_suite_name()) + "." + info.name();
    std::replace(file.begin(), file.end(), '/', '_');
    std::ofstream out(std::string(directory) + "/" + file + ".txt");
    out << status << "\t" << (calls ? "calls" : "plain") << "\t" << labels << "\t" << title << "\n" << text;
}

class Listener : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override
    {
        current = Case{};
        dirNames.clear();
    }

    void OnTestPartResult(const testing::TestPartResult& part) override
    {
        if (part.skipped()) {
            std::string why = part.message();
            current.skipped = why.rfind("Skipped\n", 0) == 0 ? why.substr(8) : why;
            return;
        }
        if (!part.failed())
            return;
        Finding f = understand(shortened(part.message()));
        f.run = static_cast<int>(current.runs.size()) - 1;
        // What a check adds to its message (the run's standard error, the
        // expected line) is said already where both texts are shown.
        if (f.field == "exit status" || f.field == "standard error" || f.field == "standard output")
            f.note.clear();
        if (f.field.rfind("on disk", 0) == 0 && f.run >= 0)
            f.after = listing(current.runs[f.run].options);
        current.findings.push_back(std::move(f));
    }

    void OnTestEnd(const testing::TestInfo& info) override
    {
        // Labels that a passing case never lived up to are wrong too.
        if (info.result()->Passed() && !info.result()->Skipped())
            for (const auto& label : labelsOf(info))
                if (!current.started.count(label)) {
                    std::fprintf(stderr, "%s.%s is labelled %s but never runs it\n", info.test_suite_name(),
                                 info.name(), label.c_str());
                    labelsWrong = true;
                }
        if (const char* directory = std::getenv("KIT_REPORT"))
            writeRecord(info, directory);
    }
};

}  // namespace

bool declarePrograms(std::string_view test, std::string_view programs)
{
    for (const auto& program : kit::words(programs))
        declared()[std::string(test)].push_back(program);
    return true;
}

namespace report {

void tempDir(const std::string& path, bool made)
{
    if (made)
        liveDirs.push_back(path);
    else
        std::erase(liveDirs, path);
}

int runStarted(const Options& options)
{
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    if (!info)
        return -1;
    auto labels = labelsOf(*info);
    for (const auto& arg : options.argv) {
        std::string name = programName(arg);
        if (name.empty())
            continue;
        current.started.insert(name);
        if (std::find(labels.begin(), labels.end(), name) == labels.end())
            ADD_FAILURE() << "this case runs " << name
                          << ", which its labels do not name: add it with KIT_RUNS";
    }
    current.runs.push_back({options, commandLine(options), callsOf(options), listing(options), std::nullopt});
    return static_cast<int>(current.runs.size()) - 1;
}

void runEnded(int run, const Result& result)
{
    if (run >= 0 && run < static_cast<int>(current.runs.size()))
        current.runs[run].result = result;
}

}  // namespace report
}  // namespace kit

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::string_view arg = argv[i]; arg.starts_with("--kit_labels="))
            return kit::writeLabels(std::string(arg.substr(13)), std::filesystem::path(argv[0]).filename());
    testing::UnitTest::GetInstance()->listeners().Append(new kit::Listener);
    int status = RUN_ALL_TESTS();
    return status != 0 || kit::labelsWrong ? 1 : 0;
}
