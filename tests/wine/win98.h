// kvmon.dll as on Windows 98 under Wine: Wine answers every call as Windows NT does, so the
// runner answers the DLL's imports that Windows 98 answers differently itself. With
// KVMON_OS=win98 it rewrites the loaded DLL's import address table: the functions 98 only
// stubs fail with ERROR_CALL_NOT_IMPLEMENTED, GetVersion and GetVersionExA report 4.10 on
// the 9x platform, CreateThread refuses a NULL thread-id pointer; and GetProcAddress, for
// names the DLL binds at run time, hands out the same replacements.
#ifndef KVMON_TESTS_WINE_WIN98_H
#define KVMON_TESTS_WINE_WIN98_H

#include <windows.h>

#include <string>
#include <vector>

namespace kvwine {

// True when $KVMON_OS is "win98".
bool Win98Mode();
// Points the module's imports of the replaced functions at their Windows 98 answers; false
// with the reason printed when the image cannot be rewritten.
bool AnswerAsWindows98(HMODULE module);
// The names of the imports AnswerAsWindows98 rewrote.
const std::vector<std::string>& RewrittenImports();

}  // namespace kvwine

#endif  // KVMON_TESTS_WINE_WIN98_H
