// The shared status block: the device's last answer in a named mapping, one per port, for
// the companion application and any other reader.
#include <string.h>

#include "kvmon.h"

// The block's name from the port's monitor and port names (JoinMappingName); the monitor
// name is copied under the port's lock, since a rename may replace it.
void BuildMappingName(PortContext* ctx, char* name)
{
    char monitor[NAME_BUFFER_SIZE];

    monitor[0] = '\0';
    EnterCriticalSection(&ctx->csPort);
    if (ctx->monitorName != NULL)
        lstrcpynA(monitor, ctx->monitorName, NAME_BUFFER_SIZE);
    LeaveCriticalSection(&ctx->csPort);
    JoinMappingName(monitor, ctx->portName, name);
}

// Creates the mapping on the first publication (its size is that block's length) and
// writes the block into it. A later, longer block is written only if the platform grants
// a view of its length in the existing mapping.
BOOL PublishStatusBlock(const BYTE* block, WORD size, PortContext* ctx)
{
    char name[NAME_BUFFER_SIZE];
    SECURITY_ATTRIBUTES sa;
    PSECURITY_DESCRIPTOR sd;
    LPVOID view;

    name[0] = '\0';
    if (ctx->hMapping == NULL) {
        BuildMappingName(ctx, name);
        sd = (PSECURITY_DESCRIPTOR)LocalAlloc(LMEM_ZEROINIT, SECURITY_DESCRIPTOR_MIN_LENGTH);
        if (sd == NULL)
            return FALSE;
        // A NULL DACL: every user may open the block.
        if (!InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(sd, TRUE, NULL, FALSE)) {
            LocalFree(sd);
            return FALSE;
        }
        sa.nLength = sizeof(sa);
        sa.lpSecurityDescriptor = sd;
        sa.bInheritHandle = TRUE;
        WriteHandle(&ctx->hMapping, CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, size, name));
        LocalFree(sd);
        if (ctx->hMapping != NULL)
            TRACE(TRACE_DECISIONS, ctx->portName, "block-created", "\"%s\", %u bytes", name, (unsigned)size);
    }
    if (ctx->hMapping == NULL) {
        TRACE(TRACE_DECISIONS, ctx->portName, "not-published", "CreateFileMappingA \"%s\" failed (error %u)", name,
              (unsigned)GetLastError());
        return FALSE;
    }

    view = MapViewOfFile(ctx->hMapping, FILE_MAP_WRITE, 0, 0, size);
    if (view == NULL) {
        TRACE(TRACE_DECISIONS, ctx->portName, "not-published", "no view of %u bytes in the block (error %u)",
              (unsigned)size, (unsigned)GetLastError());
        return FALSE;
    }
    memcpy(view, block, size);
    UnmapViewOfFile(view);
    TRACE(TRACE_QUERIES, ctx->portName, "published", "%u bytes", (unsigned)size);
    return TRUE;
}
