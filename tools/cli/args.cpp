// The command-line reader of the tools.
#include "args.h"

namespace kvtools {

bool NextArg(ArgReader* r, std::string* word)
{
    if (r->option && r->hasValue) {
        r->error = r->words[r->next - 1].substr(0, r->words[r->next - 1].find('=')) + " takes no value";
        return false;
    }
    r->option = false;
    if (r->next < r->words.size() && !r->optionsEnded && r->words[r->next] == "--") {
        r->optionsEnded = true;
        r->next++;
    }
    if (r->next >= r->words.size())
        return false;
    const std::string& w = r->words[r->next++];
    if (r->optionsEnded || w.size() < 2 || w[0] != '-') {
        *word = w;
        return true;
    }
    r->option = true;
    size_t eq = w.find('=');
    r->hasValue = w.compare(0, 2, "--") == 0 && eq != std::string::npos;
    r->value = r->hasValue ? w.substr(eq + 1) : std::string();
    *word = r->hasValue ? w.substr(0, eq) : w;
    return true;
}

bool OptionValue(ArgReader* r, std::string* value)
{
    if (r->hasValue) {
        r->hasValue = false;
        *value = r->value;
        return true;
    }
    if (r->next >= r->words.size())
        return false;
    *value = r->words[r->next++];
    return true;
}

}  // namespace kvtools
