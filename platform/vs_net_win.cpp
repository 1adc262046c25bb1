// Sockets for Windows: WinSock, started by vs_socket_init.
#include "vs_win_internal.h"

extern "C" {

VS_BOOL vs_socket_init()
{
    WSADATA Data;
    return WSAStartup(MAKEWORD(2, 2), &Data) == 0 ? VS_TRUE : VS_FALSE;
}

void vs_socket_term()
{
    WSACleanup();
}

VS_INT32 vs_socket_close(VS_SOCKET s)
{
    return closesocket((SOCKET)s);
}

VS_INT32 vs_socket_setnonblock(VS_SOCKET s)
{
    u_long On = 1;
    return ioctlsocket((SOCKET)s, FIONBIO, &On);
}

VS_INT32 vs_socket_setreuseaddr(VS_SOCKET s)
{
    int On = 1;
    return setsockopt((SOCKET)s, SOL_SOCKET, SO_REUSEADDR, (const char *)&On, sizeof(On));
}

VS_INT32 vs_socket_getpeername(VS_SOCKET s, struct sockaddr *Addr, VS_SOCKLEN *AddrLen)
{
    return getpeername((SOCKET)s, Addr, AddrLen);
}

VS_INT32 vs_socket_getsockname(VS_SOCKET s, struct sockaddr *Addr, VS_SOCKLEN *AddrLen)
{
    return getsockname((SOCKET)s, Addr, AddrLen);
}

VS_SOCKET vs_socket_accept(VS_SOCKET s, struct sockaddr *Addr, VS_SOCKLEN *AddrLen)
{
    return (VS_SOCKET)accept((SOCKET)s, Addr, AddrLen);
}

ssize_t vs_socket_recvfrom(VS_SOCKET s, void *Buf, size_t Len, VS_INT32 Flags, struct sockaddr *Addr,
                           VS_SOCKLEN *AddrLen)
{
    int n = Len > 0x7FFFFFFF ? 0x7FFFFFFF : (int)Len;
    return recvfrom((SOCKET)s, (char *)Buf, n, Flags, Addr, AddrLen);
}

VS_INT32 vs_socket_geterrno()
{
    return WSAGetLastError();
}

VS_BOOL vs_socket_isconnect(VS_SOCKET s)
{
    int Error = 0;
    int Len = sizeof(Error);
    if (getsockopt((SOCKET)s, SOL_SOCKET, SO_ERROR, (char *)&Error, &Len) != 0)
        return VS_FALSE;
    return Error == 0 ? VS_TRUE : VS_FALSE;
}

} // extern "C"
