// The one number syntax of the tools, for options and scenario lines alike: decimal digits,
// or "0x" and hexadecimal digits (as the timeline prints error codes and status bits).
// No sign, no blanks, no leading zero: "010" would be eight to a C reader and ten to a
// decimal one, so it is refused rather than guessed.
#ifndef KVMON_TOOLS_NUMBERS_H
#define KVMON_TOOLS_NUMBERS_H

#include <string>

namespace kvtools {

// The number the text spells, up to 2^64-1. False when it spells none (*why says what is
// wrong) or a larger one (*tooLarge).
bool ParseNumberText(const std::string& text, unsigned long long* value, bool* tooLarge, std::string* why);

}  // namespace kvtools

#endif  // KVMON_TOOLS_NUMBERS_H
