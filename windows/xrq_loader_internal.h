// Helpers the host-core loader's files share.
#ifndef XRQ_LOADER_INTERNAL_H
#define XRQ_LOADER_INTERNAL_H

#include "ClassOfVSTarvex.h"

namespace xrq_loader {

// The system's Windows directory.
bool WindowsDirectory(VS_CHAR *Buffer, VS_ULONG BufferSize);
// The core library's name: "XRQMODULE", else "libtarvex". False for a name
// of XRQ_MODULENAME_SIZE characters or more.
bool CoreLibraryName(VS_CHAR Name[XRQ_MODULENAME_SIZE]);
// The core library's path in the core directory.
bool CoreLibraryPath(VS_CHAR Path[XRQ_PATH_SIZE]);
// The private copy of the loaded library at LibPath: the one Basic has
// registered for it, else a new copy under the server install directory,
// named by a fresh UUID with ".so", registered with Basic (when given).
// MadeNew tells whether the copy was made now.
bool PrivateCopy(const VS_CHAR *LibPath, ClassOfBasicXRQInterfaceEx *Basic, VS_CHAR TempPath[XRQ_PATH_SIZE],
                 bool *MadeNew);
// Withdraws a copy that could not be used: its registration, and the file
// when it was made for this attempt.
void DropPrivateCopy(ClassOfBasicXRQInterfaceEx *Basic, VS_CHAR TempPath[XRQ_PATH_SIZE], bool MadeNew);

} // namespace xrq_loader

#endif
