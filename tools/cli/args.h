// Reading a program's command line, with the same rules in every program: "--" ends the
// options (every word after it is an operand, even one that begins with '-'), "--name=value"
// is the option --name with that value, and "-" alone is an operand (standard input).
#ifndef KVMON_TOOLS_ARGS_H
#define KVMON_TOOLS_ARGS_H

#include <string>
#include <vector>

namespace kvtools {

struct ArgReader {
    explicit ArgReader(std::vector<std::string> line) : words(std::move(line)) {}
    std::vector<std::string> words;  // the command line after the program (and command) name
    size_t next = 0;                 // index of the next word to read
    bool optionsEnded = false;       // a "--" was read: the rest are operands
    bool option = false;             // the word read last is an option
    bool hasValue = false;           // it was written --name=value, and the value is not taken yet
    std::string value;               // that value
    std::string error;               // why reading stopped early; empty at the end of the words
};

// Reads the next word into *word: an option's name (r->option set) or an operand. False at
// the end, or with r->error set when the option before took no value but was given one.
bool NextArg(ArgReader* r, std::string* word);

// The value of the option just read: its "=value", else the next word. False when there is
// none.
bool OptionValue(ArgReader* r, std::string* value);

}  // namespace kvtools

#endif  // KVMON_TOOLS_ARGS_H
