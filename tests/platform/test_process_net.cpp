// Environment, process identity, the terminal and sockets.
#include "vs_platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

TEST(VsEnv, GetAndSet)
{
    ASSERT_TRUE(vs_set_env("VS_PLATFORM_TEST_VAR", "hello-world"));
    char Buf[64];
    EXPECT_TRUE(vs_get_env("VS_PLATFORM_TEST_VAR", Buf, sizeof(Buf)));
    EXPECT_STREQ(Buf, "hello-world");
    char Small[6];
    EXPECT_TRUE(vs_get_env("VS_PLATFORM_TEST_VAR", Small, sizeof(Small)));
    EXPECT_STREQ(Small, "hello");
    EXPECT_TRUE(vs_get_env("VS_PLATFORM_TEST_VAR", nullptr, 10)) << "a NULL buffer receives nothing";

    ASSERT_TRUE(vs_set_env("VS_PLATFORM_TEST_VAR", "other"));
    EXPECT_TRUE(vs_get_env("VS_PLATFORM_TEST_VAR", Buf, sizeof(Buf)));
    EXPECT_STREQ(Buf, "other");

    strcpy(Buf, "stale");
    EXPECT_FALSE(vs_get_env("VS_PLATFORM_TEST_UNSET_VAR", Buf, sizeof(Buf)));
    EXPECT_STREQ(Buf, "") << "the buffer is emptied first";
    EXPECT_FALSE(vs_get_env(nullptr, Buf, sizeof(Buf)));
    EXPECT_FALSE(vs_set_env(nullptr, "x"));
    EXPECT_FALSE(vs_set_env("", "x"));
    EXPECT_FALSE(vs_set_env("A=B", "x"));
}

TEST(VsProcess, IdentityAndExistence)
{
    EXPECT_EQ(vs_process_current(), (VS_ULONG)getpid());
    EXPECT_EQ(vs_process_currentid(), (VS_ULONG)getpid());
    EXPECT_TRUE(vs_process_exist((VS_ULONG)getpid()));
    EXPECT_FALSE(vs_process_exist(0x7FFFFFF0u));

    char Buf[VS_MAX_PATH];
    ASSERT_TRUE(vs_get_module(Buf, sizeof(Buf)));
    char Exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", Exe, sizeof(Exe) - 1);
    ASSERT_GT(n, 0);
    Exe[n] = 0;
    EXPECT_STREQ(Buf, Exe);

    char Small[4];
    EXPECT_FALSE(vs_get_module(Small, sizeof(Small))) << "a path that does not fit is not cut";
    EXPECT_STREQ(Small, "");
    EXPECT_FALSE(vs_get_module(nullptr, 100));
    EXPECT_FALSE(vs_get_module(Buf, 0));
}

TEST(VsProcess, KbhitWithoutTerminal)
{
    if (isatty(STDIN_FILENO))
        GTEST_SKIP() << "standard input is a terminal";
    EXPECT_EQ(vs_kbhit(), -1);
}

TEST(VsSocket, LoopbackConnection)
{
    EXPECT_TRUE(vs_socket_init());
    VS_SOCKET Listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(Listener, 0);
    EXPECT_EQ(vs_socket_setreuseaddr(Listener), 0);
    int On = 0;
    socklen_t OnLen = sizeof(On);
    getsockopt(Listener, SOL_SOCKET, SO_REUSEADDR, &On, &OnLen);
    EXPECT_EQ(On, 1);

    sockaddr_in Addr{};
    Addr.sin_family = AF_INET;
    Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(Listener, (sockaddr *)&Addr, sizeof(Addr)), 0);
    ASSERT_EQ(listen(Listener, 1), 0);
    VS_SOCKLEN Len = sizeof(Addr);
    ASSERT_EQ(vs_socket_getsockname(Listener, (sockaddr *)&Addr, &Len), 0);
    EXPECT_NE(Addr.sin_port, 0);

    VS_SOCKET Client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(Client, 0);
    ASSERT_EQ(connect(Client, (sockaddr *)&Addr, sizeof(Addr)), 0);
    EXPECT_TRUE(vs_socket_isconnect(Client));

    sockaddr_in Peer{};
    VS_SOCKLEN PeerLen = sizeof(Peer);
    VS_SOCKET Server = vs_socket_accept(Listener, (sockaddr *)&Peer, &PeerLen);
    ASSERT_GE(Server, 0);
    sockaddr_in Peer2{};
    VS_SOCKLEN Peer2Len = sizeof(Peer2);
    ASSERT_EQ(vs_socket_getpeername(Server, (sockaddr *)&Peer2, &Peer2Len), 0);
    EXPECT_EQ(Peer2.sin_port, Peer.sin_port);

    ASSERT_EQ(send(Client, "ping", 4, 0), 4);
    char Buf[8] = {};
    EXPECT_EQ(vs_socket_recvfrom(Server, Buf, sizeof(Buf), 0, nullptr, nullptr), 4);
    EXPECT_STREQ(Buf, "ping");

    EXPECT_EQ(vs_socket_setnonblock(Server), 0);
    EXPECT_EQ(vs_socket_recvfrom(Server, Buf, sizeof(Buf), 0, nullptr, nullptr), -1);
    int Err = vs_socket_geterrno();
    EXPECT_TRUE(Err == EAGAIN || Err == EWOULDBLOCK) << Err;

    EXPECT_EQ(vs_socket_close(Client), 0);
    EXPECT_EQ(vs_socket_close(Server), 0);
    EXPECT_EQ(vs_socket_close(Listener), 0);
    vs_socket_term();
}

TEST(VsSocket, InvalidDescriptorsFail)
{
    for (VS_SOCKET Bad : {-1, 1 << 20}) {
        EXPECT_EQ(vs_socket_close(Bad), -1);
        EXPECT_EQ(vs_socket_geterrno(), EBADF);
        EXPECT_EQ(vs_socket_setnonblock(Bad), -1);
        EXPECT_EQ(vs_socket_setreuseaddr(Bad), -1);
        EXPECT_FALSE(vs_socket_isconnect(Bad));
        EXPECT_EQ(vs_socket_accept(Bad, nullptr, nullptr), -1);
        sockaddr_in Addr{};
        VS_SOCKLEN Len = sizeof(Addr);
        EXPECT_EQ(vs_socket_getpeername(Bad, (sockaddr *)&Addr, &Len), -1);
        EXPECT_EQ(vs_socket_getsockname(Bad, (sockaddr *)&Addr, &Len), -1);
        char Buf[4];
        EXPECT_EQ(vs_socket_recvfrom(Bad, Buf, sizeof(Buf), 0, nullptr, nullptr), -1);
    }
}
