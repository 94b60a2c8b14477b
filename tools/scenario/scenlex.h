// The words of one scenario line: the tokenizer and the readers of numbers, names and
// keywords that every command's parser uses. A problem is thrown as a LineError, which
// the line loop turns into "LINE: message".
#ifndef KVMON_TOOLS_SCENLEX_H
#define KVMON_TOOLS_SCENLEX_H

#include <string>
#include <vector>

namespace kvtools {

struct Token {
    std::string text;     // the word, or the string's bytes with its escapes resolved
    bool quoted = false;  // written in double quotes
};

struct LineError {
    std::string message;  // what is wrong with the line, without its number
};

// Splits one line into words and quoted strings and drops the comment; *source is the
// line as written, without its comment and the blanks around it.
std::vector<Token> Tokenize(const std::string& line, std::string* source);

// A number in min..max, in the tools' one syntax (numbers.h); `what` names it in the message.
unsigned long Number(const Token& t, const char* what, unsigned long min, unsigned long max);

// A name: a word or a quoted string, not empty.
std::string Name(const Token& t, const char* what);

// The token is this keyword, unquoted.
bool Is(const Token& t, const char* word);

// The line (its command word first) has min..max words.
void Arity(const std::vector<Token>& t, size_t min, size_t max);

}  // namespace kvtools

#endif  // KVMON_TOOLS_SCENLEX_H
