// Luafuncs and system-event handler bound to the QZProcBase class at start-up.
#include "trelk_bind.h"
#include "trelk_proc_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZProcBase_LuaFuncTable[] = {
    // Record and life cycle
    {"Execute", QZProcBase_Execute},
    // Input declaration and input queue
    {"GetLocalBuf", QZProcBase_GetLocalBuf},
    {"GetRootLocalBuf", QZProcBase_GetRootLocalBuf},
    {"GetSignature", QZProcBase_GetSignature},
    {"InputFrom", QZProcBase_InputFrom},
    {"InputQueueToParaPkg", QZProcBase_InputQueueToParaPkg},
    {"CollectInputDataClass", QZProcBase_CollectInputDataClass},
    {"GetInput", QZProcBase_GetInput},
    {"InputToParaPkg", QZProcBase_InputToParaPkg},
    {"InputChangeToParaPkg", QZProcBase_InputChangeToParaPkg},
    {"RejectInput", QZProcBase_RejectInput},
    {"AcceptInput", QZProcBase_AcceptInput},
    {"GetInputLocalBuf", QZProcBase_GetInputLocalBuf},
    {"SetInputLocalBuf", QZProcBase_SetInputLocalBuf},
    {"GetInputProcID", QZProcBase_GetInputProcID},
    {"SetInputProcID", QZProcBase_SetInputProcID},
    {"DataCanBeAsInput", QZProcBase_DataCanBeAsInput},
    {"DataCanBeAsOutput", QZProcBase_DataCanBeAsOutput},
    {"ProcCanBeAsInput", QZProcBase_ProcCanBeAsInput},
    {"GetInputNumber", QZProcBase_GetInputNumber},
    {"IsFromInternal", QZProcBase_IsFromInternal},
    {"IsSlave", QZProcBase_IsSlave},
    {"IsMustExist", QZProcBase_IsMustExist},
    {"GetMasterInput", QZProcBase_GetMasterInput},
    {"GetMasterInputType", QZProcBase_GetMasterInputType},
    {"GetInputType", QZProcBase_GetInputType},
    {"SetInputType", QZProcBase_SetInputType},
    {"IsEnough", QZProcBase_IsEnough},
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZProcBase_SysEventHandler = QZProcBase_OnSystemEvent;
