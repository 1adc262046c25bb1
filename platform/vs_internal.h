// Helpers shared by the platform layer's own sources; not exported.
#ifndef VS_INTERNAL_H
#define VS_INTERNAL_H

#include "vs_platform.h"

#include <cstddef>
#include <ctime>

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

// Each system's own file primitives (vs_file_<system>.cpp), used by the
// shared file functions in vs_file.cpp.
// Stats Name as given (no separator conversion); 0, or VS_FS_ERRNO.
VS_INT32 StatRaw(const VS_CHAR *Name, VS_STATBUF *Info);
// True when Path (already converted) names an existing entry.
bool Exists(const VS_CHAR *Path);
// Steps the search of Handle to its next matching entry and copies the
// record into Record. False when there is none left.
bool FindAdvance(VS_FINDDATA *Handle, VS_FINDDATA *Record);
// Copies In to Out to the end and closes both; false when a read, a write
// or the closing of Out failed.
bool CopyStream(FILE *In, FILE *Out);
// Each system's own clock primitives (vs_time_<system>.cpp), used by the
// shared clock functions in vs_time.cpp.
// The local clock fields of Seconds; false when they cannot be had.
bool LocalFields(VS_INT64 Seconds, struct tm *Tm);
// The local zone's offset from UTC in seconds at Seconds; false when it
// cannot be had.
bool ZoneOffset(VS_INT64 Seconds, VS_INT32 *Offset);
// Shared libraries (vs_dll.cpp): the error text of the last failure, and the
// path a library's name is loaded by (false, with the error text set, when
// there is none).
void DllSetErrorText(const VS_CHAR *Text);
bool DllPath(const VS_CHAR *Name, VS_CHAR *Path);
// Each system's own library primitives (vs_dll_<system>.cpp).
bool DllFileExists(const VS_CHAR *Path);
void *DllOpen(const VS_CHAR *Name, VS_BOOL Global);
void *DllGetLoaded(const VS_CHAR *Name, VS_CHAR *PathOut, VS_INT32 Size);
// The registered procedure of that name; NULL when there is none.
void *RegisteredProcFind(const VS_CHAR *Name);

} // namespace vs_internal

#pragma GCC visibility pop

#endif
