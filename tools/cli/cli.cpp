// Input files of the tools.
#include "cli.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kvtools {

bool ReadInputFile(const std::string& path, std::string* bytes, std::string* error)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        *error = "is a directory";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = std::strerror(errno);
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    if (in.bad()) {
        *error = "read error";
        return false;
    }
    *bytes = s.str();
    return true;
}

}  // namespace kvtools
