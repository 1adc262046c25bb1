// The one place the loader asks the system itself; kept apart so that the
// system headers' macros (CreateService, ...) stay out of the loader's files.
#include "xrq_loader_internal.h"

#include <windows.h>

namespace xrq_loader {

bool WindowsDirectory(VS_CHAR *Buffer, VS_ULONG BufferSize)
{
    if (Buffer == nullptr || BufferSize == 0)
        return false;
    UINT n = GetWindowsDirectoryA(Buffer, BufferSize);
    if (n == 0 || n >= BufferSize) {
        Buffer[0] = 0;
        return false;
    }
    return true;
}

} // namespace xrq_loader
