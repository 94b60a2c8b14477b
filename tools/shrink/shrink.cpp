// Shrinking a violating scenario: smaller candidates (lines removed, printers dropped,
// renames undone, words simplified), each kept while it still breaks the same invariant
// (reproduce.cpp plays them).
#include "shrink.h"

#include <cstdlib>
#include <map>
#include <sstream>
#include <variant>
#include <vector>

#include "kvplatform.h"
#include "scenario.h"
#include "scenlex.h"

namespace kvtools {

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::string source;
        if (!Tokenize(line, &source).empty())
            out.push_back(source);
    }
    return out;
}

std::string Join(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& l : lines)
        text += l + "\n";
    return text;
}

class Shrinker {
public:
    Shrinker(uint64_t seed, const std::string& invariant, const ShrinkOptions& options)
        : seed_(seed), invariant_(invariant), options_(options)
    {
    }

    // Whether the candidate still breaks the invariant; when it does, it becomes the result.
    bool Holds(const std::vector<std::string>& lines)
    {
        if (result_.plays >= options_.maxPlays)
            return false;
        result_.plays++;
        auto found = Reproduce(Join(lines), invariant_, seed_, options_.search, options_.stalls);
        // A smaller scenario may not break the protocol more than the original did: the
        // spooler's misuse must not become the cause.
        if (!found || (!lines_.empty() && found->misuses > misuses_))
            return false;
        misuses_ = found->misuses;
        seed_ = found->seed;  // the next candidates try this seed first
        result_.seed = found->seed;
        result_.detail = found->detail;
        lines_ = lines;
        return true;
    }

    // Delta debugging over lines: chunks of half the lines, then smaller, down to one line.
    void RemoveLines()
    {
        for (size_t chunk = std::max<size_t>(lines_.size() / 2, 1);;) {
            bool removed = false;
            for (size_t i = 0; i < lines_.size();) {
                std::vector<std::string> candidate(lines_.begin(), lines_.begin() + i);
                candidate.insert(candidate.end(), lines_.begin() + std::min(i + chunk, lines_.size()), lines_.end());
                if (Holds(candidate))
                    removed = true;
                else
                    i += chunk;
            }
            if (chunk == 1 && !removed)
                break;
            if (chunk > 1)
                chunk /= 2;
        }
        // Then two neighbours at once, at every offset: a line and the select before it, or
        // two lines that only go together without misuse (a document's start and end).
        for (size_t i = 0; i + 1 < lines_.size();) {
            std::vector<std::string> candidate(lines_.begin(), lines_.begin() + i);
            candidate.insert(candidate.end(), lines_.begin() + i + 2, lines_.end());
            if (!Holds(candidate))
                i++;
        }
    }

    // Each line's words: a word after the command dropped, a number made 0, 1 or half,
    // a quoted text made one character. Returns whether any change held.
    bool Simplify()
    {
        bool any = false;
        for (size_t i = 0; i < lines_.size(); i++) {
            std::vector<std::string> words = Words(lines_[i]);
            for (size_t w = 1; w < words.size(); w++) {
                for (const std::string& simpler : Simpler(words[w])) {
                    std::vector<std::string> changed = words;
                    if (simpler.empty())
                        changed.erase(changed.begin() + static_cast<long>(w));
                    else
                        changed[w] = simpler;
                    std::vector<std::string> candidate = lines_;
                    candidate[i] = JoinWords(changed);
                    if (Holds(candidate)) {
                        words = changed;
                        any = true;
                        if (simpler.empty())
                            w--;
                        break;
                    }
                }
            }
        }
        return any;
    }

    // Printers as a whole: every line that names one dropped together, and each rename
    // undone (the lines after it use the name before it). Returns whether any change held.
    bool Printers()
    {
        bool any = false;
        Scenario parsed;
        std::string error;
        if (!ParseScenario(Join(lines_), "shrink", &parsed, &error))
            return false;
        std::vector<std::pair<std::string, std::string>> renames;  // new name, old name
        std::map<std::string, size_t> printer;  // printer of each name, numbered as declared
        std::vector<size_t> owner;              // the printer each line acts on (0 for none)
        size_t printers = 0;
        for (const Command& c : parsed.commands) {
            if (std::holds_alternative<cmd::Printer>(c.args))
                printer[c.printer] = ++printers;
            if (const auto* r = std::get_if<cmd::Rename>(&c.args)) {
                renames.emplace_back(r->newName, c.printer);
                printer[r->newName] = printer[c.printer];
            }
            auto it = printer.find(c.printer);
            owner.push_back(it == printer.end() ? 0 : it->second);
        }
        for (size_t p = printers; p >= 1 && owner.size() == lines_.size(); p--) {
            std::vector<std::string> candidate;
            for (size_t i = 0; i < lines_.size(); i++) {
                if (owner[i] != p)
                    candidate.push_back(lines_[i]);
            }
            if (Holds(candidate)) {
                any = true;
                break;  // the lines are numbered anew
            }
        }
        // A printer deleted and added again, or added and deleted again: both lines go
        // together (either alone is refused).
        for (size_t i = 0; i < lines_.size() && owner.size() == lines_.size(); i++) {
            if (lines_[i] != "delete-printer" && lines_[i] != "add-printer")
                continue;
            for (size_t j = i + 1; j < lines_.size(); j++) {
                if ((lines_[j] != "delete-printer" && lines_[j] != "add-printer") || owner[j] != owner[i])
                    continue;
                if (lines_[j] == lines_[i])
                    break;
                std::vector<std::string> candidate = lines_;
                candidate.erase(candidate.begin() + static_cast<long>(j));
                candidate.erase(candidate.begin() + static_cast<long>(i));
                if (Holds(candidate))
                    return true;  // the lines are numbered anew
                break;
            }
        }
        for (const auto& r : renames) {
            std::vector<std::string> candidate;
            bool after = false;
            for (std::string line : lines_) {
                if (!after && line == "rename \"" + r.first + "\"") {
                    after = true;
                    continue;
                }
                for (size_t at = line.find("\"" + r.first + "\""); after && at != std::string::npos;
                     at = line.find("\"" + r.first + "\"", at + 1))
                    line.replace(at, r.first.size() + 2, "\"" + r.second + "\"");
                candidate.push_back(line);
            }
            if (after && Holds(candidate))
                any = true;
        }
        return any;
    }

    // Later candidates try this many seeds each.
    void Widen(unsigned search) { options_.search = search; }

    Shrunk& Result()
    {
        result_.text = Join(lines_);
        result_.lines = lines_.size();
        return result_;
    }

private:
    uint64_t seed_;
    std::string invariant_;
    ShrinkOptions options_;
    std::vector<std::string> lines_;  // the smallest scenario that still breaks it
    unsigned misuses_ = 0;            // misuse marks of its violating run
    Shrunk result_;

    // The words of a line as written (quoted texts keep their quotes).
    static std::vector<std::string> Words(const std::string& line)
    {
        std::vector<std::string> words;
        for (size_t i = 0; i < line.size();) {
            if (line[i] == ' ' || line[i] == '\t') {
                i++;
                continue;
            }
            size_t start = i;
            if (line[i] == '"') {
                for (i++; i < line.size() && line[i] != '"'; i++) {
                    if (line[i] == '\\')
                        i++;
                }
                i++;
            } else {
                while (i < line.size() && line[i] != ' ' && line[i] != '\t')
                    i++;
            }
            words.push_back(line.substr(start, i - start));
        }
        return words;
    }

    static std::string JoinWords(const std::vector<std::string>& words)
    {
        std::string line;
        for (const std::string& w : words)
            line += (line.empty() ? "" : " ") + w;
        return line;
    }

    // Simpler forms of one word, simplest first; "" drops it.
    static std::vector<std::string> Simpler(const std::string& word)
    {
        std::vector<std::string> out{""};
        if (word.find_first_not_of("0123456789") == std::string::npos && word != "0") {
            unsigned long long n = std::strtoull(word.c_str(), nullptr, 10);
            for (unsigned long long s : {0ull, 1ull, n / 2}) {
                if (s < n)
                    out.push_back(std::to_string(s));
            }
        } else if (word.size() > 3 && word.front() == '"' && word.back() == '"') {
            out.push_back("\"x\"");
        }
        return out;
    }
};

}  // namespace

std::optional<Shrunk> Shrink(const std::string& text, uint64_t seed, const std::string& invariant,
                             const ShrinkOptions& options)
{
    Shrinker shrinker(seed, invariant, options);
    std::vector<std::string> lines = Lines(text);
    // The original must break it (under its own seed, or one of the search).
    if (!shrinker.Holds(lines))
        return std::nullopt;
    do
        shrinker.RemoveLines();
    while (shrinker.Printers() || shrinker.Simplify());
    if (options.stalls && options.wideSearch > options.search) {
        shrinker.Widen(options.wideSearch);
        do
            shrinker.RemoveLines();
        while (shrinker.Printers() || shrinker.Simplify());
    }
    Shrunk result = shrinker.Result();
    result.originalLines = lines.size();
    result.invariant = invariant;
    result.stalls = options.stalls;
    return result;
}

std::string ReplayOptions(const Shrunk& s)
{
    return "--seed " + std::to_string(s.seed) + (s.stalls && kvplat::SeedHasStalls(s.seed) ? " --stalls on" : "");
}

std::string ShrunkFile(const Shrunk& s, const std::string& origin, const std::string& file)
{
    return "# Shrunk from " + origin + " (" + std::to_string(s.originalLines) + " commands) to " +
           std::to_string(s.lines) + " commands in " + std::to_string(s.plays) + " tries.\n# violation: " +
           s.invariant + ": " + s.detail + "\n# replay: kvmon-sim run " + file + " " + ReplayOptions(s) +
           "\n" + s.text;
}

}  // namespace kvtools
