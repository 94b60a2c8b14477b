// The status block's name, as the monitor publishes it and a reader has to look it up.
#include <string.h>

#include "kvmon.h"

// monitorName followed by portName in a zero-filled 260-byte buffer, cut to 259 characters.
void JoinMappingName(LPCSTR monitorName, LPCSTR portName, char* name)
{
    int used;

    memset(name, 0, NAME_BUFFER_SIZE);
    if (monitorName != NULL)
        lstrcpynA(name, monitorName, NAME_BUFFER_SIZE);
    used = lstrlenA(name);
    if (portName != NULL && used < NAME_BUFFER_SIZE - 1)
        lstrcpynA(name + used, portName, NAME_BUFFER_SIZE - used);
}
