// Environment, process and console for Windows.
#include "vs_win_internal.h"

#include <conio.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <io.h>
#include <string>

extern "C" {

// The process environment of the system (what child processes and other
// modules of the process see), not the C library's copy.
VS_BOOL vs_get_env(const VS_CHAR *Name, VS_CHAR *Buf, VS_INT32 Size)
{
    if (Buf != nullptr && Size > 0)
        Buf[0] = 0;
    if (Name == nullptr)
        return VS_FALSE;
    std::string Value(64, '\0');
    for (;;) {
        SetLastError(0);
        DWORD n = GetEnvironmentVariableA(Name, &Value[0], (DWORD)Value.size());
        if (n == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND)
                return VS_FALSE;
            Value.clear(); // set and empty
            break;
        }
        if (n < Value.size()) {
            Value.resize(n);
            break;
        }
        Value.assign(n, '\0'); // n counts the terminator when it did not fit
    }
    if (Buf != nullptr && Size > 0) {
        size_t n = Value.size();
        if (n > (size_t)Size - 1)
            n = (size_t)Size - 1;
        memcpy(Buf, Value.data(), n);
        Buf[n] = 0;
    }
    return VS_TRUE;
}

VS_BOOL vs_set_env(const VS_CHAR *Name, const VS_CHAR *Value)
{
    if (Name == nullptr || Value == nullptr)
        return VS_FALSE;
    return SetEnvironmentVariableA(Name, Value) ? VS_TRUE : VS_FALSE;
}

// The executable's path. Nothing is cut at a "(": on this system it marks
// no deleted file, and paths such as "Program Files (x86)" hold one.
VS_BOOL vs_get_module(VS_CHAR *Buf, VS_INT32 Size)
{
    if (Buf == nullptr || Size <= 0)
        return VS_FALSE;
    Buf[0] = 0;
    DWORD n = GetModuleFileNameA(nullptr, Buf, (DWORD)Size);
    if (n == 0 || n >= (DWORD)Size) {
        Buf[0] = 0;
        return VS_FALSE;
    }
    return VS_TRUE;
}

VS_ULONG vs_process_current()
{
    return (VS_ULONG)GetCurrentProcessId();
}

// A process exists while its object is not signalled; its exit code cannot
// tell, since a process may end with STILL_ACTIVE (259).
VS_BOOL vs_process_exist(VS_ULONG Id)
{
    HANDLE Process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, (DWORD)Id);
    if (Process == nullptr)
        return VS_FALSE;
    bool Running = WaitForSingleObject(Process, 0) == WAIT_TIMEOUT;
    CloseHandle(Process);
    return Running ? VS_TRUE : VS_FALSE;
}

VS_INT32 vs_kbhit()
{
    if (!_isatty(_fileno(stdin)))
        return -1;
    // A key within a tenth of a second, read without echo.
    for (int i = 0; i < 10; i++) {
        if (_kbhit())
            return (VS_INT32)_getch();
        Sleep(10);
    }
    return EOF;
}

} // extern "C"
