// The class templates of the module's 19 classes: XML texts that start-up
// loads into the host to create the classes (their attributes, in record
// order, and their script-callable functions). Exported data, so that a host
// tool can read a class's declaration from the library itself.
//
// The three longest are held in two parts that start-up joins end to end into
// a buffer of TRELK_TEMPLATE_JOINSIZE_* bytes (the terminating zero included).
#ifndef TRELK_TEMPLATES_H
#define TRELK_TEMPLATES_H

#if defined(_WIN32)
#define TRELK_TEMPLATE_EXPORT __declspec(dllexport)
#else
#define TRELK_TEMPLATE_EXPORT __attribute__((visibility("default")))
#endif

#define TRELK_TEMPLATE_JOINSIZE_PROC 10240  // QZProcBase, QZCellBase
#define TRELK_TEMPLATE_JOINSIZE_REALM 65536 // QZRealmBase

extern "C" {
extern TRELK_TEMPLATE_EXPORT const char QZObjectPointer_Template[];
extern TRELK_TEMPLATE_EXPORT const char QZObjectPointerWithChangeFlag_Template[];
extern TRELK_TEMPLATE_EXPORT const char QZRuleBase_Template[];
extern TRELK_TEMPLATE_EXPORT const char QZRuleAttachBase_Template[];
extern TRELK_TEMPLATE_EXPORT const char QZDataInputContainer_Template[];
extern TRELK_TEMPLATE_EXPORT const char QZDataBase_Template[];
extern TRELK_TEMPLATE_EXPORT const char QZDataSetBase_Template[];
extern TRELK_TEMPLATE_EXPORT const char QZObjectDataBase_Template[];
extern TRELK_TEMPLATE_EXPORT const char QZBufDataBase_Template[];
extern TRELK_TEMPLATE_EXPORT const char QZRealmFrameData_Template[];
extern TRELK_TEMPLATE_EXPORT const char QZDataOutputContainer_Template[];
extern TRELK_TEMPLATE_EXPORT const char QZExceptionBase_Template[];
extern TRELK_TEMPLATE_EXPORT const char QZProcBase_Template_Part1[];
extern TRELK_TEMPLATE_EXPORT const char QZProcBase_Template_Part2[];
extern TRELK_TEMPLATE_EXPORT const char QZProcRemoteBase_Template[];
extern TRELK_TEMPLATE_EXPORT const char QZProcRunnerBase_Template[];
extern TRELK_TEMPLATE_EXPORT const char QZProcChainBase_Template[];
extern TRELK_TEMPLATE_EXPORT const char QZCellBase_Template_Part1[];
extern TRELK_TEMPLATE_EXPORT const char QZCellBase_Template_Part2[];
extern TRELK_TEMPLATE_EXPORT const char QZRealmStubBase_Template[];
extern TRELK_TEMPLATE_EXPORT const char QZRealmBase_Template_Part1[];
extern TRELK_TEMPLATE_EXPORT const char QZRealmBase_Template_Part2[];
}

#endif
