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

// Fills sa for the block's mapping: inheritable, with a NULL DACL in sd so that every user
// may open the block. A system without object security (Windows 95/98/ME) answers the
// security calls with ERROR_CALL_NOT_IMPLEMENTED; its CreateFileMappingA ignores any
// descriptor and every process may open the mapping anyway, so the block goes without one.
// FALSE, the error set, for any other failure.
static BOOL PrepareBlockSecurity(SECURITY_ATTRIBUTES* sa, PSECURITY_DESCRIPTOR sd)
{
    sa->nLength = sizeof(*sa);
    sa->lpSecurityDescriptor = sd;
    sa->bInheritHandle = TRUE;
    if (InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(sd, TRUE, NULL, FALSE))
        return TRUE;
    if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED)
        return FALSE;
    sa->lpSecurityDescriptor = NULL;
    return TRUE;
}

// Creates the mapping on the first publication (its size is that block's length) and
// writes the block into it. A later, longer block is written only if the platform grants
// a view of its length in the existing mapping. Every way of leaving the block unpublished
// is traced with the step that failed.
BOOL PublishStatusBlock(const BYTE* block, WORD size, PortContext* ctx)
{
    char name[NAME_BUFFER_SIZE];
    SECURITY_ATTRIBUTES sa;
    PSECURITY_DESCRIPTOR sd = NULL;
    LPVOID view = NULL;
    LPCSTR failed = NULL;  // the step that left the block unpublished; NULL while none did

    name[0] = '\0';
    if (ctx->hMapping == NULL) {
        BuildMappingName(ctx, name);
        sd = (PSECURITY_DESCRIPTOR)LocalAlloc(LMEM_ZEROINIT, SECURITY_DESCRIPTOR_MIN_LENGTH);
        if (sd == NULL)
            failed = "LocalAlloc of the security descriptor for";
        else if (!PrepareBlockSecurity(&sa, sd))
            failed = "the security descriptor for";
        else {
            WriteHandle(&ctx->hMapping, CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, size, name));
            if (ctx->hMapping == NULL)
                failed = "CreateFileMappingA";
            else
                TRACE(TRACE_DECISIONS, ctx->portName, "block-created", "\"%s\", %u bytes%s", name, (unsigned)size,
                      sa.lpSecurityDescriptor == NULL ? ", without a security descriptor (no object security here)"
                                                      : "");
        }
        if (failed != NULL)
            TRACE(TRACE_DECISIONS, ctx->portName, "not-published", "%s \"%s\" failed (error %u)", failed, name,
                  (unsigned)GetLastError());
    }
    if (failed == NULL && ctx->hMapping != NULL) {
        view = MapViewOfFile(ctx->hMapping, FILE_MAP_WRITE, 0, 0, size);
        if (view == NULL) {
            failed = "MapViewOfFile";
            TRACE(TRACE_DECISIONS, ctx->portName, "not-published", "no view of %u bytes in the block (error %u)",
                  (unsigned)size, (unsigned)GetLastError());
        }
    }
    if (view != NULL) {
        memcpy(view, block, size);
        UnmapViewOfFile(view);
        TRACE(TRACE_QUERIES, ctx->portName, "published", "%u bytes", (unsigned)size);
    }
    if (sd != NULL)
        LocalFree(sd);
    return view != NULL;
}
