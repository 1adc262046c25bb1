// Helpers shared by the platform layer's own sources; not exported.
#ifndef VS_INTERNAL_H
#define VS_INTERNAL_H

#include "vs_platform.h"

#include <cstddef>

// Kept out of the module's exported symbols.
#pragma GCC visibility push(hidden)

namespace vs_internal {

// The separator that paths reach the system with; the other one is turned
// into it.
#if defined(_WIN32)
const VS_CHAR kPathSep = '\\';
const VS_CHAR kOtherSep = '/';
#else
const VS_CHAR kPathSep = '/';
const VS_CHAR kOtherSep = '\\';
#endif

// Copies Name into Out (VS_MAX_PATH bytes) with the other separator turned
// into the system's (on Linux backslashes into slashes). False for NULL and
// for a name that does not fit whole: the system must never be handed a cut
// path.
bool PathCopy(const VS_CHAR *Name, VS_CHAR *Out);

// Copies Src into Dst (Size bytes) only when it fits whole, terminated.
bool CopyWhole(VS_CHAR *Dst, size_t Size, const VS_CHAR *Src);

// Name matching of the directory search: Pattern is the record's patterns and
// flags, EntryName one directory entry.
bool FindMatch(const VS_FINDDATA *Pattern, const VS_CHAR *EntryName);

// Splits a file pattern (after the directory) into the record's name and
// extension patterns and flags. False when a part does not fit.
bool FindSplitPattern(const VS_CHAR *FilePattern, VS_FINDDATA *Record);

// Builds the absolute form of the relative Path against Base into Out
// (VS_MAX_PATH bytes). False when the path must stay as it is (absolute, a
// separator after the leading steps, or a result too long).
bool BuildFullName(const VS_CHAR *Base, const VS_CHAR *Path, VS_CHAR *Out);

// The registered procedure of that name; NULL when there is none.
void *RegisteredProcFind(const VS_CHAR *Name);

} // namespace vs_internal

#pragma GCC visibility pop

#endif
