// Process functions that read the same on every system.
#include "vs_platform.h"

#include <cstdlib>

extern "C" {

VS_ULONG vs_process_currentid()
{
    return vs_process_current();
}

void vs_process_exit(VS_INT32 Status)
{
    exit(Status);
}

} // extern "C"
