// Sockets for Linux: thin wrappers around the system's descriptors.
#include "vs_platform.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

extern "C" {

VS_BOOL vs_socket_init()
{
    return VS_TRUE;
}

void vs_socket_term()
{
}

VS_INT32 vs_socket_close(VS_SOCKET s)
{
    return close(s);
}

VS_INT32 vs_socket_setnonblock(VS_SOCKET s)
{
    int Flags = fcntl(s, F_GETFL, 0);
    if (Flags < 0)
        return -1;
    return fcntl(s, F_SETFL, Flags | O_NONBLOCK);
}

VS_INT32 vs_socket_setreuseaddr(VS_SOCKET s)
{
    int On = 1;
    return setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &On, sizeof(On));
}

VS_INT32 vs_socket_getpeername(VS_SOCKET s, struct sockaddr *Addr, VS_SOCKLEN *AddrLen)
{
    return getpeername(s, Addr, AddrLen);
}

VS_INT32 vs_socket_getsockname(VS_SOCKET s, struct sockaddr *Addr, VS_SOCKLEN *AddrLen)
{
    return getsockname(s, Addr, AddrLen);
}

VS_SOCKET vs_socket_accept(VS_SOCKET s, struct sockaddr *Addr, VS_SOCKLEN *AddrLen)
{
    return accept(s, Addr, AddrLen);
}

ssize_t vs_socket_recvfrom(VS_SOCKET s, void *Buf, size_t Len, VS_INT32 Flags, struct sockaddr *Addr,
                           VS_SOCKLEN *AddrLen)
{
    return recvfrom(s, Buf, Len, Flags, Addr, AddrLen);
}

VS_INT32 vs_socket_geterrno()
{
    return errno;
}

VS_BOOL vs_socket_isconnect(VS_SOCKET s)
{
    int Error = 0;
    socklen_t Len = sizeof(Error);
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &Error, &Len) != 0)
        return VS_FALSE;
    return Error == 0 ? VS_TRUE : VS_FALSE;
}

} // extern "C"
