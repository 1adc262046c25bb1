// Scheduler: what the other subsystems call. The helpers that the proc code
// uses (queue counting and the proc copies for runners) are declared with the
// proc functions, which this header includes.
#ifndef TRELK_SCHEDULER_H
#define TRELK_SCHEDULER_H

#include "quel_trelk.h"
#include "trelk_proc.h"

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
