// The tools' number syntax.
#include "numbers.h"

#include <cerrno>
#include <cstdlib>

namespace kvtools {

bool ParseNumberText(const std::string& text, unsigned long long* value, bool* tooLarge, std::string* why)
{
    *tooLarge = false;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = hex ? text.substr(2) : text;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
        *why = "a number takes no sign";
        return false;
    }
    if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos) {
        *why = "a number is decimal digits, or 0x and hexadecimal digits";
        return false;
    }
    if (!hex && digits.size() > 1 && digits[0] == '0') {
        *why = "a leading zero is ambiguous: write the number without it, or 0x for hexadecimal";
        return false;
    }
    errno = 0;
    *value = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno == ERANGE) {
        *tooLarge = true;
        *why = "larger than 18446744073709551615";
        return false;
    }
    return true;
}

}  // namespace kvtools
