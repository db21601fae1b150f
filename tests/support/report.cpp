// The kit's main: each case's labels (the programs it runs), and for
// tests/check a plain report of each case: what it checks, the commands it
// ran as a shell would type them, and what differed from what was expected.
#include "report.h"
#include "wording.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

namespace kit {
namespace {

using namespace wording;

// ---- Labels ---------------------------------------------------------------

// The suite program's name if `path` is one as the tests start it, else "".
std::string programName(std::string_view path)
{
    for (const auto& program : suitePrograms())
        if (program.where.path == path)
            return program.name;
    return "";
}

// "Suite.Test" (without an instantiation's prefix or a parameter), or
// "Suite.Test/parameter" for one parameter alone -> programs.
std::map<std::string, std::vector<std::string>, std::less<>>& declared()
{
    static std::map<std::string, std::vector<std::string>, std::less<>> programs;
    return programs;
}

bool isProgramName(const std::string& name)
{
    const auto& all = suitePrograms();
    return std::any_of(all.begin(), all.end(), [&](const auto& program) { return program.name == name; });
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
    std::string row;      // the case's SCOPED_TRACE when it started: which row of a table
    std::string command;  // as a shell would type it
    std::string calls;    // the system calls it makes fail or holds back, in words
    std::string before;   // the case's directories as the run found them
    std::optional<Result> result;
    Millis deadline{};
};

// A value a check compared, as the kit saw it (observed.h).
struct Observation {
    const void* object;
    Origin origin;
    std::string got, expected;
    bool equal;
};

// A check that failed, in words, and the run it followed.
struct Finding {
    std::string row;
    int run = -1;
    std::string what;     // "exit status", "the contents of $D/f.md"...
    std::string text;     // what differed, one or more lines
    bool aboutEnding = false;  // it says already how the run ended
    std::string after;    // the directories when a check on disk failed
};

struct Case {
    std::vector<Run> runs;
    std::set<std::string> started;  // programs
    std::vector<Finding> findings;
    std::string skipped;
    std::vector<std::string> rowsSkipped;  // the reason of each row skipped
    // Since the last failure: what was compared, and what a message printed.
    std::vector<Observation> observations;
    std::set<const void*> shown;
};

Case current;
// Runs and checks may come from a peer's thread, and a reading while a failure is told.
std::recursive_mutex currentLock;
std::vector<std::string> liveDirs;                   // kit::TempDir, oldest first
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
    for (const auto& program : suitePrograms())
        for (size_t at; (at = text.find(program.where.path)) != std::string::npos;)
            text.replace(at, program.where.path.size(), program.name);
    // The case's directories, those already removed too (a message may name one).
    for (const auto& dir : liveDirs)
        nameForDir(dir);
    for (const auto& [dir, name] : dirNames)
        for (size_t at; (at = text.find(dir)) != std::string::npos;)
            text.replace(at, dir.size(), name);
    return text;
}

// The strace that fails or holds back a call, as the kit starts it.
std::string straceWords(const Fault& f)
{
    std::string inject = "inject=" + f.call + (f.error.empty() ? "" : ":error=" + f.error) + ":when=" + f.when;
    if (!f.delay.empty())
        inject += ":delay_enter=" + f.delay;
    std::string words = "strace -f -o /dev/null -e " + shellWord(inject);
    if (!f.path.empty())
        words += " -P " + shellWord(shortened(f.path));
    return words + " -- ";
}

// The run as a shell would type it: every redirection and wrapper the kit
// adds, so that typing it in the case's directory does what the case did.
std::string commandLine(const Options& o)
{
    std::string line;
    if (!o.cwd.empty())
        line += "cd " + shellWord(shortened(o.cwd)) + " && ";
    if (o.umask != 022)
        line += "umask " + octal(o.umask, 3) + " && ";
    if (!o.input.empty())
        line += printfText(o.input) + " | ";
    for (const auto& entry : o.env)
        line += entry.find('=') == std::string::npos ? "env -u " + entry + " " : shellWord(entry) + " ";
    if (o.unprivileged)
        line += "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    if (o.fault)
        line += straceWords(*o.fault);
    for (size_t i = 0; i < o.argv.size(); ++i)
        line += (i ? " " : "") + shellWord(shortened(o.argv[i]));
    if (!o.inputPath.empty())
        line += " <" + shellWord(shortened(o.inputPath));
    if (!o.outputPath.empty())
        line += " >" + shellWord(shortened(o.outputPath));
    // Closed after the paths are opened, as the kit does.
    for (int fd : o.closed)
        line += fd == 0 ? " <&-" : fd == 1 ? " >&-" : " " + std::to_string(fd) + ">&-";
    return line;
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
        // A name the program made is shown escaped, as its output is.
        std::string full = path + "/" + name, label = shown.empty() ? escaped(name) : shown + "/" + escaped(name);
        struct stat st;
        if (lstat(full.c_str(), &st) == -1)
            continue;
        std::string mode = octal(st.st_mode & 07777, 4);
        if (S_ISDIR(st.st_mode)) {
            entries.push_back(label + "/ (" + std::to_string(st.st_size) + " bytes, " + mode + ")");
            if (depth < 2)
                listInto(full, label, depth + 1, entries);
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            ssize_t n = readlink(full.c_str(), target, sizeof target - 1);
            entries.push_back(label + " -> " + escaped(shortened(std::string(target, n > 0 ? n : 0))));
        } else if (S_ISREG(st.st_mode)) {
            entries.push_back(label + " (" + std::to_string(st.st_size) + (st.st_size == 1 ? " byte, " : " bytes, ") +
                              mode + ")");
        } else {
            std::string kind = S_ISFIFO(st.st_mode) ? "FIFO" : S_ISSOCK(st.st_mode) ? "socket" : "device";
            entries.push_back(label + " (" + kind + ", " + mode + ")");
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

// What an observed value is, in the learner's words.
std::string whatOf(const Origin& origin)
{
    std::string path = escaped(shortened(origin.path));
    switch (origin.kind) {
    case Origin::Kind::output: return "standard output";
    case Origin::Kind::errors: return "standard error";
    case Origin::Kind::line: return "the next line of standard output";
    case Origin::Kind::status: return "exit status";
    case Origin::Kind::signal: return "the signal that ended it";
    case Origin::Kind::timedOut: return "whether it ran past its deadline";
    case Origin::Kind::contents: return "on disk: the contents of " + path;
    case Origin::Kind::mode: return "on disk: the mode of " + path;
    case Origin::Kind::presence: return "on disk: whether " + path + " exists";
    case Origin::Kind::none: break;
    }
    return "a value the case took from the run";
}

// How a run ended, if not by exit: "was killed by SIGSEGV".
std::string endingOf(const Run& run)
{
    // Read as plain values: the report's own readings are no checks.
    if (!run.result || static_cast<int>(run.result->status) != -1)
        return "";
    if (run.result->timedOut.value())
        return "did not end within " + std::to_string(run.deadline.count() / 1000) + " s, and was killed";
    return "was killed by " + signalName(static_cast<int>(run.result->signal));
}

Finding fromObservation(const Observation& o)
{
    Finding f;
    f.what = whatOf(o.origin);
    f.run = o.origin.run;
    bool text = o.origin.kind == Origin::Kind::output || o.origin.kind == Origin::Kind::errors ||
                o.origin.kind == Origin::Kind::line || o.origin.kind == Origin::Kind::contents ||
                o.origin.kind == Origin::Kind::none;
    auto signal = [](const std::string& number) { return signalName(static_cast<int>(std::stoll(number))); };
    if (o.origin.kind == Origin::Kind::signal)
        f.text = o.equal ? "expected anything but " + signal(o.got) + ", got that"
                         : "expected " + signal(o.expected) + ", got " + signal(o.got);
    else if (o.equal)
        f.text = "expected anything but " + (text ? quotedText(o.got.substr(0, 100)) : o.got) + ", got that";
    else if (text && o.got.size() <= 4096 && o.expected.size() <= 4096) {
        // Paths in messages as the command shows them, unless that hid the difference.
        std::string got = shortened(o.got), expected = shortened(o.expected);
        f.text = got != expected ? textDifference(got, expected) : textDifference(o.got, o.expected);
    } else if (text)
        f.text = textDifference(o.got, o.expected);
    else
        f.text = "expected " + o.expected + ", got " + o.got;
    return f;
}

// The failure's rows from its SCOPED_TRACE lines, outermost first, and the message without them.
std::pair<std::string, std::string> rowsOf(std::string message)
{
    std::string row;
    if (auto at = message.find("\nGoogle Test trace:\n"); at != std::string::npos) {
        std::istringstream traces(message.substr(at + 20));
        std::vector<std::string> rows;
        for (std::string line; std::getline(traces, line);)
            if (auto colon = line.find(": "); colon != std::string::npos)
                rows.insert(rows.begin(), line.substr(colon + 2));
        for (const auto& r : rows)
            row += (row.empty() ? "" : ", ") + r;
        message.erase(at);
    }
    return {row, message};
}

// The row a run starts in: the trace a failure there would carry, taken
// by a failure that only this function sees.
std::string currentRow()
{
    testing::TestPartResultArray seen;
    {
        testing::ScopedFakeTestPartResultReporter only(testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD,
                                                       &seen);
        ADD_FAILURE() << "";
    }
    return seen.size() > 0 ? escaped(shortened(rowsOf(seen.GetTestPartResult(0).message()).first)) : "";
}

bool sameFile(const char* a, const char* b)
{
    return a && b && std::filesystem::path(a).filename() == std::filesystem::path(b).filename();
}

// The observation a failure is about: the last one its message printed, or
// one the test took on the failing line; none for a check of other values.
const Observation* aboutWhat(const testing::TestPartResult& part)
{
    for (auto it = current.observations.rbegin(); it != current.observations.rend(); ++it)
        if (current.shown.count(it->object) && it->origin.kind != Origin::Kind::none)
            return &*it;
    constexpr long nearby = 8;  // lines: a check may span several
    for (auto it = current.observations.rbegin(); it != current.observations.rend(); ++it)
        if (!it->equal && sameFile(it->origin.file, part.file_name()) &&
            std::abs(static_cast<long>(it->origin.line) - part.line_number()) <= nearby)
            return &*it;
    return nullptr;
}

Finding understand(const testing::TestPartResult& part)
{
    // An exception ends the case outside its checks: its message is the news.
    static const std::regex thrown("C\\+\\+ exception with description \"([^]*)\" thrown in (.*)\\.");
    auto [row, message] = rowsOf(part.message());
    row = escaped(shortened(row));
    Finding f;
    const Observation* about = nullptr;
    if (std::smatch m; std::regex_match(message, m, thrown)) {
        f.text = "the case stopped: " + escaped(shortened(m[1].str()));
        // Thrown out of its row, it belongs to the check before it.
        if (row.empty() && !current.findings.empty()) {
            row = current.findings.back().row;
            f.run = current.findings.back().run;
        }
    } else if ((about = aboutWhat(part))) {
        f = fromObservation(*about);
    } else {
        // The kit's own failures (a bound the program met) say all in their message.
        constexpr std::string_view failed = "Failed\n";
        if (message.starts_with(failed)) {
            f.text = escaped(shortened(message.substr(failed.size())), Bytes::message);
        } else {
            // A check of a value the kit did not give: the check's own words.
            std::string where = part.file_name() ? std::filesystem::path(part.file_name()).filename().string() : "";
            f.what = "the check at " + where + ":" + std::to_string(part.line_number());
            f.text = escaped(shortened(message), Bytes::message);
        }
    }
    f.row = row;
    f.aboutEnding = f.what == "exit status" || f.what == "the signal that ended it" ||
                    f.what == "whether it ran past its deadline";
    if (f.run < 0)
        // The last run of its row, if one was started in it.
        for (int i = static_cast<int>(current.runs.size()) - 1; i >= 0; --i)
            if (current.runs[i].row == f.row) {
                f.run = i;
                break;
            }
    // A run that did not exit has no status: what happened instead is the news.
    if (about && f.aboutEnding && f.run >= 0 && !about->equal) {
        auto ending = endingOf(current.runs[f.run]);
        if (!ending.empty() && about->origin.kind == Origin::Kind::status)
            f.text = "expected " + about->expected + ", but it " + ending;
    }
    if (f.what.starts_with("on disk") && f.run >= 0)
        f.after = listing(current.runs[f.run].options);
    return f;
}

// ---- The record tests/check reads ------------------------------------------------

// The report of a case: each failing check under its row and the run it followed.
std::string reportText(bool& calls)
{
    std::string text;
    if (!current.skipped.empty())
        text = current.skipped + "\n";
    // Rows that skip for one reason are told once, with their number.
    for (size_t i = 0; i < current.rowsSkipped.size();) {
        size_t same = i;
        while (same < current.rowsSkipped.size() && current.rowsSkipped[same] == current.rowsSkipped[i])
            ++same;
        text += std::to_string(same - i) + (same - i == 1 ? " row" : " rows") + " skipped: " + current.rowsSkipped[i] + "\n";
        i = same;
    }
    // A table whose rows all fail alike is told by its first few.
    constexpr int shownGroups = 3;
    int groupsShown = 0, groupsLeft = 0;
    std::optional<std::string> row;
    for (size_t i = 0; i < current.findings.size(); ++i) {
        const Finding& f = current.findings[i];
        bool sameGroup = i > 0 && current.findings[i - 1].run == f.run && current.findings[i - 1].row == f.row;
        if (groupsLeft > 0 || (!sameGroup && groupsShown == shownGroups)) {
            groupsLeft += sameGroup ? 0 : 1;
            continue;
        }
        if (!sameGroup) {
            ++groupsShown;
            if (f.row != row.value_or(""))
                text += f.row.empty() ? "after its rows:\n" : "row: " + f.row + "\n";
            row = f.row;
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
                bool told = false;
                for (size_t j = i; j < current.findings.size() && current.findings[j].run == f.run &&
                                   current.findings[j].row == f.row; ++j)
                    told = told || current.findings[j].aboutEnding;
                if (auto ending = endingOf(run); !ending.empty() && !told)
                    text += "    it " + ending + "\n";
            }
        }
        auto body = lines(f.text);
        if (!f.what.empty())
            text += "  " + f.what + ": " + (body.empty() ? "" : body[0]) + "\n";
        else if (!body.empty())
            text += "  " + body[0] + "\n";
        for (size_t j = 1; j < body.size(); ++j)
            text += "    " + body[j] + "\n";
        if (!f.after.empty())
            text += indented("left on disk: " + f.after, "    ");
    }
    if (groupsLeft > 0)
        text += "(and " + std::to_string(groupsLeft) + " more runs of this case that failed: the full log has them)\n";
    return text;
}

// The case's rows in the order they came, each failed if a check in it failed.
std::vector<std::pair<std::string, bool>> rowsSeen()
{
    std::vector<std::pair<std::string, bool>> rows;
    auto add = [&](const std::string& row, bool failed) {
        if (row.empty())
            return;
        auto found = std::find_if(rows.begin(), rows.end(), [&](const auto& r) { return r.first == row; });
        if (found == rows.end())
            rows.emplace_back(row, failed);
        else
            found->second = found->second || failed;
    };
    for (const auto& run : current.runs)
        add(run.row, false);
    for (const auto& f : current.findings)
        add(f.row, true);
    return rows;
}

void writeRecord(const testing::TestInfo& info, const char* directory)
{
    const auto* result = info.result();
    std::string status = result->Skipped() ? "skipped" : result->Failed() ? "failed" : "passed";
    bool calls = false;
    std::string text = reportText(calls);
    std::string title = spoken(suiteOf(info)) + ": " + spoken(nameOf(info));
    if (!parameterOf(info).empty())
        title += " (" + parameterOf(info) + ")";
    std::string labels, programs;
    for (const auto& label : labelsOf(info)) {
        labels += (labels.empty() ? "" : " ") + label;
        programs += (programs.empty() ? "" : ", ") + jsonString(label);
    }
    std::string id = std::string(info.test_suite_name()) + "." + info.name();
    std::string file = id;
    std::replace(file.begin(), file.end(), '/', '_');
    std::ofstream(std::string(directory) + "/" + file + ".txt")
        << status << "\t" << (calls ? "calls" : "plain") << "\t" << labels << "\t" << title << "\n" << text;

    std::string rows;
    for (const auto& [row, failed] : rowsSeen())
        rows += std::string(rows.empty() ? "" : ", ") + "{\"row\": " + jsonString(row) + ", \"status\": \"" +
                (failed ? "failed" : status == "failed" ? "passed" : status) + "\"}";
    for (const auto& why : current.rowsSkipped)
        rows += std::string(rows.empty() ? "" : ", ") + "{\"row\": " + jsonString(why) + ", \"status\": \"skipped\"}";
    std::ofstream(std::string(directory) + "/" + file + ".json")
        << "{\"name\": " << jsonString(title) << ", \"test\": " << jsonString(id) << ", \"programs\": [" << programs
        << "], \"status\": \"" << status << "\", \"calls\": " << (calls ? "true" : "false")
        << ", \"reason\": " << jsonString(status == "skipped" ? current.skipped : "") << ", \"rows\": [" << rows
        << "], \"report\": " << jsonString(status == "passed" && current.rowsSkipped.empty() ? "" : text) << "}\n";
}

class Listener : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override
    {
        std::lock_guard lock(currentLock);
        current = Case{};
        dirNames.clear();
    }

    void OnTestPartResult(const testing::TestPartResult& part) override
    {
        std::lock_guard lock(currentLock);
        if (part.skipped()) {
            std::string why = part.message();
            current.skipped = escaped(shortened(why.rfind("Skipped\n", 0) == 0 ? why.substr(8) : why));
            return;
        }
        if (!part.failed())
            return;
        current.findings.push_back(understand(part));
        current.observations.clear();
        current.shown.clear();
    }

    void OnTestEnd(const testing::TestInfo& info) override
    {
        std::lock_guard lock(currentLock);
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

namespace report {

void declare(std::string_view test, std::string_view programs)
{
    for (const auto& program : kit::words(programs))
        declared()[std::string(test)].push_back(program);
}

void compared(const void* object, const Origin& origin, std::string_view got, std::string_view expected, bool equal)
{
    std::lock_guard lock(currentLock);
    // Only the latest few can be what a failure is about.
    constexpr size_t kept = 16;
    if (current.observations.size() == kept)
        current.observations.erase(current.observations.begin());
    current.observations.push_back({object, origin, std::string(got), std::string(expected), equal});
}

void shown(const void* object)
{
    std::lock_guard lock(currentLock);
    current.shown.insert(object);
}

void tempDir(const std::string& path, bool made)
{
    std::lock_guard lock(currentLock);
    if (made)
        liveDirs.push_back(path);
    else
        std::erase(liveDirs, path);
}

void rowSkipped(const std::string& why)
{
    std::lock_guard lock(currentLock);
    current.rowsSkipped.push_back(why);
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
        {
            std::lock_guard lock(currentLock);
            current.started.insert(name);
        }
        if (std::find(labels.begin(), labels.end(), name) == labels.end())
            ADD_FAILURE() << "this case runs " << name
                          << ", which its labels do not name: add it with KIT_RUNS";
    }
    std::string row = currentRow();
    std::lock_guard lock(currentLock);
    current.runs.push_back({options, row, commandLine(options), callsOf(options), listing(options), std::nullopt, {}});
    return static_cast<int>(current.runs.size()) - 1;
}

void runEnded(int run, const Result& result, Millis deadline)
{
    std::lock_guard lock(currentLock);
    if (run >= 0 && run < static_cast<int>(current.runs.size())) {
        current.runs[run].result = result;
        current.runs[run].deadline = deadline;
    }
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
