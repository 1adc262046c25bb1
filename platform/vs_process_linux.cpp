// Environment, process and console for Linux.
#include "vs_internal.h"

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

extern "C" {

VS_BOOL vs_get_env(const VS_CHAR *Name, VS_CHAR *Buf, VS_INT32 Size)
{
    if (Buf != nullptr && Size > 0)
        Buf[0] = 0;
    if (Name == nullptr)
        return VS_FALSE;
    const char *Value = getenv(Name);
    if (Value == nullptr)
        return VS_FALSE;
    if (Buf != nullptr && Size > 0) {
        size_t n = strlen(Value);
        if (n > (size_t)Size - 1)
            n = (size_t)Size - 1;
        memcpy(Buf, Value, n);
        Buf[n] = 0;
    }
    return VS_TRUE;
}

VS_BOOL vs_set_env(const VS_CHAR *Name, const VS_CHAR *Value)
{
    if (Name == nullptr || Value == nullptr)
        return VS_FALSE;
    return setenv(Name, Value, 1) == 0 ? VS_TRUE : VS_FALSE;
}

VS_BOOL vs_get_module(VS_CHAR *Buf, VS_INT32 Size)
{
    if (Buf == nullptr || Size <= 0)
        return VS_FALSE;
    Buf[0] = 0;
    char Link[64];
    snprintf(Link, sizeof(Link), "/proc/%d/exe", (int)getpid());
    ssize_t n = readlink(Link, Buf, (size_t)Size);
    // A path that filled the whole buffer may have been cut by the system.
    if (n <= 0 || n >= (ssize_t)Size) {
        Buf[0] = 0;
        return VS_FALSE;
    }
    Buf[n] = 0;
    // The system marks an executable that is gone with " (deleted)".
    char *Paren = strchr(Buf, '(');
    if (Paren != nullptr)
        Paren[Paren > Buf ? -1 : 0] = 0;
    return VS_TRUE;
}

VS_ULONG vs_process_current()
{
    return (VS_ULONG)getpid();
}

VS_BOOL vs_process_exist(VS_ULONG Id)
{
    char Path[64];
    snprintf(Path, sizeof(Path), "/proc/%u", (unsigned)Id);
    struct stat St;
    return stat(Path, &St) == 0 ? VS_TRUE : VS_FALSE;
}

VS_INT32 vs_kbhit()
{
    if (!isatty(STDIN_FILENO))
        return -1;
    struct termios Old, Raw;
    if (tcgetattr(STDIN_FILENO, &Old) != 0)
        return -1;
    Raw = Old;
    Raw.c_lflag &= (tcflag_t) ~(ICANON | ECHO);
    Raw.c_cc[VMIN] = 0;
    Raw.c_cc[VTIME] = 1;
    tcsetattr(STDIN_FILENO, TCSANOW, &Raw);
    unsigned char c;
    ssize_t n = read(STDIN_FILENO, &c, 1);
    tcsetattr(STDIN_FILENO, TCSANOW, &Old);
    return n == 1 ? (VS_INT32)c : EOF;
}

} // extern "C"
