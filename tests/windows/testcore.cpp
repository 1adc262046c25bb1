// A stand-in host core library for the loader's tests: the six entry points
// and control and basic interfaces that record what the loader asks of
// them. Switches come from the process environment, so that every copy of
// the library in the process sees the same:
//   TESTCORE_INIT_RESULT  what VSCore_Init answers (default 0)
//   TESTCORE_FAIL_IMPORT  a service name that ImportService refuses
//   TESTCORE_FAIL_CREATE  when set, CreateService fails
// The registry of private copies is kept in the environment too
// (TESTCORE_REGTEMP), as a host keeps it for the whole process.
// Built with TESTCORE_WITHOUT_TERMEX it lacks VSCore_TermEx.
#include "xrq_sdk.h"

#include <windows.h>
// The system headers name a function of theirs so; the host interface has
// a method of that name.
#undef CreateService

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#define TESTCORE_API extern "C" __declspec(dllexport)

namespace {

std::string g_Log;
std::vector<std::pair<VS_MSGCALLBACK, VS_UWORD>> g_CallBacks;
int g_Refs = 0; // interface references handed out and not released
char g_ServiceDummy;

void Log(const std::string &Line)
{
    g_Log += Line;
    g_Log += '\n';
}

std::string Env(const char *Name, bool *Set = nullptr)
{
    char Buf[4096];
    DWORD n = GetEnvironmentVariableA(Name, Buf, sizeof(Buf));
    if (Set != nullptr)
        *Set = n > 0 && n < sizeof(Buf);
    return (n > 0 && n < sizeof(Buf)) ? std::string(Buf, n) : std::string();
}

std::string Text(const char *s)
{
    return s == nullptr ? "(null)" : std::string("'") + s + "'";
}

// "ori|temp;ori|temp;..."
std::vector<std::pair<std::string, std::string>> Registry()
{
    std::vector<std::pair<std::string, std::string>> Out;
    std::string All = Env("TESTCORE_REGTEMP");
    size_t At = 0;
    while (At < All.size()) {
        size_t End = All.find(';', At);
        if (End == std::string::npos)
            End = All.size();
        std::string Item = All.substr(At, End - At);
        size_t Bar = Item.find('|');
        if (Bar != std::string::npos)
            Out.push_back({Item.substr(0, Bar), Item.substr(Bar + 1)});
        At = End + 1;
    }
    return Out;
}

void SetRegistry(const std::vector<std::pair<std::string, std::string>> &Items)
{
    std::string All;
    for (auto &i : Items)
        All += i.first + "|" + i.second + ";";
    SetEnvironmentVariableA("TESTCORE_REGTEMP", All.empty() ? nullptr : All.c_str());
}

void UnRegister(const char *TempFile)
{
    auto Items = Registry();
    std::vector<std::pair<std::string, std::string>> Kept;
    for (auto &i : Items)
        if (_stricmp(i.second.c_str(), TempFile) != 0)
            Kept.push_back(i);
    SetRegistry(Kept);
}

class Basic : public ClassOfBasicXRQInterfaceEx {
  public:
    VS_ULONG AddRef() override { return (VS_ULONG)++g_Refs; }
    VS_ULONG Release() override
    {
        Log("Basic.Release");
        return (VS_ULONG)--g_Refs;
    }
    ClassOfBasicXRQInterfaceEx *Dup() override
    {
        Log("Basic.Dup");
        ++g_Refs;
        return this;
    }
    // The module's side of the interface: the loader asks none of it.
    void GetVersion(VS_UINT8 *Main, VS_UINT8 *Sub, VS_UINT16 *Build) override { *Main = *Sub = 0, *Build = 0; }
    ClassOfXRQControlInterface *GetXRQControlInterface() override { return nullptr; }
    void ProcessError(VS_INT32, const VS_CHAR *, VS_INT32, const VS_CHAR *, ...) override {}
    const VS_CHAR *QueryActiveService(VS_UUID *) override { return "svc"; }
    ClassOfXRQInterfaceEx *GetXRQInterface(const VS_CHAR *Service, const VS_CHAR *User, const VS_CHAR *Pass) override
    {
        Log("Basic.GetXRQInterface " + Text(Service) + " " + Text(User) + " " + Text(Pass));
        return (ClassOfXRQInterfaceEx *)&g_ServiceDummy;
    }
    VS_BOOL ImportService(const VS_CHAR *Name, VS_BOOL Load) override
    {
        Log("Basic.ImportService " + Text(Name) + " " + std::to_string(Load));
        return Env("TESTCORE_FAIL_IMPORT") == (Name != nullptr ? Name : "") ? VS_FALSE : VS_TRUE;
    }
    VS_BOOL CreateService(const VS_CHAR *Path, const VS_CHAR *Name, VS_UUID *ID, const VS_CHAR *Pass, VS_INT32 a,
                          VS_INT32 b, VS_INT32 c, VS_INT32 d, VS_INT32 e, VS_INT32 f) override
    {
        Log("Basic.CreateService " + Text(Path) + " " + Text(Name) + " " + (ID ? "id" : "noid") + " " + Text(Pass) +
            " " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c) + " " + std::to_string(d) +
            " " + std::to_string(e) + " " + std::to_string(f));
        bool Fail;
        Env("TESTCORE_FAIL_CREATE", &Fail);
        return Fail ? VS_FALSE : VS_TRUE;
    }
    VS_BOOL SetWebServerPort(const VS_CHAR *Host, VS_UINT16 Port, VS_INT32 n, VS_ULONG Size) override
    {
        Log("Basic.SetWebServerPort " + Text(Host) + " " + std::to_string(Port) + " " + std::to_string(n) + " " +
            std::to_string(Size));
        return VS_TRUE;
    }
    void RegTempFile(const VS_CHAR *TempFile, const VS_CHAR *OriFile) override
    {
        Log("Basic.RegTempFile");
        auto Items = Registry();
        Items.push_back({OriFile, TempFile});
        SetRegistry(Items);
    }
    const VS_CHAR *GetRegTempFile(const VS_CHAR *OriFile, VS_CHAR *Buf, VS_INT32 Size) override
    {
        for (auto &i : Registry()) {
            if (_stricmp(i.first.c_str(), OriFile) == 0 && (VS_INT32)i.second.size() < Size) {
                strcpy(Buf, i.second.c_str());
                return Buf;
            }
        }
        return nullptr;
    }
    void UnRegTempFile(const VS_CHAR *TempFile) override
    {
        Log("Basic.UnRegTempFile");
        UnRegister(TempFile);
    }
} g_Basic;

class Control : public ClassOfXRQControlInterfaceEx {
  public:
    VS_ULONG AddRef() override { return (VS_ULONG)++g_Refs; }
    VS_ULONG Release() override
    {
        Log("Control.Release");
        return (VS_ULONG)--g_Refs;
    }
    ClassOfBasicXRQInterfaceEx *QueryBasicInterface(VS_UWORD) override
    {
        ++g_Refs;
        return &g_Basic;
    }
    VS_BOOL XRQDispatch(VS_BOOL Wait) override
    {
        Log("Control.XRQDispatch " + std::to_string(Wait));
        return VS_FALSE;
    }
    void XRQIdle() override { Log("Control.XRQIdle"); }
    // The module's side of the interface: the loader asks none of it.
    void ProcessError(VS_INT32, const VS_CHAR *, VS_INT32, const VS_CHAR *, ...) override {}
    void CaptureScriptGIL() override {}
    void ReleaseScriptGIL() override {}
    void DetachCurrentThread() override {}
    VS_BOOL WinMsgLoop(VS_BOOL *Quit) override
    {
        *Quit = VS_TRUE;
        return VS_TRUE;
    }
    VS_BOOL IsAppActive() override { return VS_TRUE; }
    void UnRegTempFile(const VS_CHAR *TempFile) override
    {
        Log("Control.UnRegTempFile");
        UnRegister(TempFile);
    }
} g_Control;

} // namespace

TESTCORE_API void VSCore_RegisterCallBackInfo(VS_MSGCALLBACK CallBack, VS_UWORD Para)
{
    Log("RegisterCallBackInfo");
    g_CallBacks.push_back({CallBack, Para});
}

TESTCORE_API void VSCore_UnRegisterCallBackInfo(VS_MSGCALLBACK CallBack, VS_UWORD Para)
{
    Log("UnRegisterCallBackInfo");
    for (auto it = g_CallBacks.begin(); it != g_CallBacks.end(); ++it) {
        if (it->first == CallBack && it->second == Para) {
            g_CallBacks.erase(it);
            break;
        }
    }
}

TESTCORE_API VS_BOOL VSCore_HasInit()
{
    return VS_TRUE;
}

TESTCORE_API VS_INT32 VSCore_Init(VS_BOOL ServerFlag, VS_BOOL ShowFlag, const VS_CHAR *Text1, VS_UINT16 Number1,
                                  const VS_CHAR *Text2, VS_UINT16 Number2, void *Config)
{
    Log("Init " + std::to_string(ServerFlag) + " " + std::to_string(ShowFlag) + " " + Text(Text1) + " " +
        std::to_string(Number1) + " " + Text(Text2) + " " + std::to_string(Number2) + " " +
        (Config ? "config" : "noconfig"));
    bool Set;
    std::string r = Env("TESTCORE_INIT_RESULT", &Set);
    return Set ? atoi(r.c_str()) : 0;
}

#if !defined(TESTCORE_WITHOUT_TERMEX)
TESTCORE_API void VSCore_TermEx()
{
    Log("TermEx");
}
#endif

TESTCORE_API ClassOfXRQControlInterfaceEx *VSCore_QueryControlInterface()
{
    ++g_Refs;
    return &g_Control;
}

// ---- for the tests ----
TESTCORE_API const char *TestCore_Log()
{
    return g_Log.c_str();
}

TESTCORE_API void TestCore_ClearLog()
{
    g_Log.clear();
}

TESTCORE_API int TestCore_References()
{
    return g_Refs;
}

// Delivers a message to the first registered callback (the loader's own).
TESTCORE_API VS_UWORD TestCore_Deliver(VS_ULONG Message, VS_UWORD Param1, VS_BOOL *Processed)
{
    if (g_CallBacks.empty())
        return 0xDEAD;
    return g_CallBacks.front().first(1, Message, Param1, 0, Processed, g_CallBacks.front().second);
}

TESTCORE_API int TestCore_CallBacks()
{
    return (int)g_CallBacks.size();
}
