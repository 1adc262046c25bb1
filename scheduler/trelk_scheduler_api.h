// The scheduler as the other subsystems see it. What the procs call of it
// (queue counting, the proc copies for runners) is declared in
// trelk_upcalls.h, which comes in with the proc header.
#ifndef TRELK_SCHEDULER_API_H
#define TRELK_SCHEDULER_API_H

#include "quel_trelk.h"
#include "trelk_proc_api.h"

// ---------------------------------------------------------------------------
// Proc and chain copies for runners (chain routines of the proc routines)
// ---------------------------------------------------------------------------
void Tarvex_ScheduleProc_DupProcChain_Step1(VS_UUID *RunnerID, StructOfQZProcChainBase *QZProcChain);
StructOfQZProcChainBase *Tarvex_ScheduleProc_DupProcChain_Step3(VS_UUID *RunnerID,
                                                                StructOfQZProcChainBase *QZProcChain);
void Tarvex_ScheduleProc_DupProcChain_Step4(VS_UUID *RunnerID, StructOfQZProcChainBase *QZProcChain);
void Tarvex_ScheduleProc_DupProcChain_SetStatusForFree(StructOfQZProcChainBase *QZProcChain);
void Tarvex_ScheduleProc_DupProcChain_SetIsFromInternal(StructOfQZProcBase *PreviousQZProc,
                                                        StructOfQZProcChainBase *QZProcChain);
void Tarvex_ScheduleProc_DupProcChain_SetPrevProcIndexTree(StructOfQZProcBase *PreviousQZProc,
                                                           StructOfQZProcChainBase *QZProcChain);
void Tarvex_ScheduleProc_Proc_ClearPrivateBuf(StructOfQZProcBase *QZProc);

#endif
