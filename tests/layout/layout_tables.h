// Shared by the layout tests: the class table, the table of every template
// attribute with the record field it lands in, and template parsing.
#ifndef TRELK_LAYOUT_TABLES_H
#define TRELK_LAYOUT_TABLES_H

#include "trelk_records.h"
#include "trelk_templates.h"

#include <pugixml.hpp>

#include <cstddef>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

// Derived records inherit their parent record, which makes them
// non-standard-layout; GCC lays them out as plain C structs all the same.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"

namespace layout {

// ---------------------------------------------------------------------------
// The class table: registration order, IDs, parents, luafuncs bound.
// ---------------------------------------------------------------------------
struct ClassRow {
    const char *Name;
    const char *ID;
    const char *Parent; // "" for none
    int Bound;          // luafuncs bound at registration
    const char *Part1;
    const char *Part2;  // NULL for a one-part template
    size_t JoinSize;    // buffer the two parts are joined in; 0 for one part
};

inline const ClassRow kClasses[] = {
    {"QZObjectPointer", "2DEB27C2-3D89-4243-BDFB-7E08A3AD68F4", "", 0, QZObjectPointer_Template, nullptr, 0},
    {"QZObjectPointerWithChangeFlag", "DA6CD5DC-47CA-4f00-9FE8-CA892F3BFE3D", "", 0,
     QZObjectPointerWithChangeFlag_Template, nullptr, 0},
    {"QZRuleBase", "E88FAD4D-52CA-4cee-9598-AE792FE0B576", "", 14, QZRuleBase_Template, nullptr, 0},
    {"QZRuleAttachBase", "D8B3D75B-9CED-4417-A0E8-42D76B8EDC59", "", 0, QZRuleAttachBase_Template, nullptr, 0},
    {"QZDataInputContainer", "19EBD4D6-7F2D-45ad-9564-6F021FA9793A", "", 3, QZDataInputContainer_Template,
     nullptr, 0},
    {"QZDataBase", "D5649A5F-79B3-4a7d-BD1F-DF0C0E4FE3BB", "", 79, QZDataBase_Template, nullptr, 0},
    {"QZDataSetBase", "4396EAC4-C1A4-4c00-A8AD-CC956C8603DD", "QZDataBase", 10, QZDataSetBase_Template, nullptr,
     0},
    {"QZObjectDataBase", "FC30C5EB-7762-4373-92CA-E5C6CB777084", "QZDataBase", 3, QZObjectDataBase_Template,
     nullptr, 0},
    {"QZBufDataBase", "0A914F30-940E-48fd-B02F-73EAC7972F1D", "QZDataBase", 2, QZBufDataBase_Template, nullptr, 0},
    {"QZRealmFrameData", "879ABE7B-3A84-4277-9941-E905C613E288", "QZDataSetBase", 2, QZRealmFrameData_Template,
     nullptr, 0},
    {"QZDataOutputContainer", "513DF29F-A6CD-4821-8F33-07E49E485FF7", "", 0, QZDataOutputContainer_Template,
     nullptr, 0},
    {"QZExceptionBase", "F51653E8-32ED-4de3-A266-09264B2B05A8", "", 2, QZExceptionBase_Template, nullptr, 0},
    {"QZProcBase", "0CE3FA22-9B7F-4598-9C44-51A768818AEC", "", 67, QZProcBase_Template_Part1,
     QZProcBase_Template_Part2, TRELK_TEMPLATE_JOINSIZE_PROC},
    {"QZProcRemoteBase", "5F7E7457-14E7-43d2-8F72-2E6A0A02AAF9", "QZProcBase", 1, QZProcRemoteBase_Template,
     nullptr, 0},
    {"QZProcRunnerBase", "42BD1CCB-67E5-4621-A8EC-87CA664ABD98", "", 4, QZProcRunnerBase_Template, nullptr, 0},
    {"QZProcChainBase", "7096EA8D-5B59-4248-B2E7-3ED48BF75808", "", 23, QZProcChainBase_Template, nullptr, 0},
    {"QZCellBase", "240D0512-49D4-4bf7-8ECC-E74AD4FD9A29", "QZProcBase", 39, QZCellBase_Template_Part1,
     QZCellBase_Template_Part2, TRELK_TEMPLATE_JOINSIZE_PROC},
    {"QZRealmStubBase", "D5656682-2EE8-4917-85DE-4A2B74874545", "", 9, QZRealmStubBase_Template, nullptr, 0},
    {"QZRealmBase", "7A20E92F-F609-4c85-86B0-34117BE912EF", "", 134, QZRealmBase_Template_Part1,
     QZRealmBase_Template_Part2, TRELK_TEMPLATE_JOINSIZE_REALM},
};

// Bound by registration although no template declares them.
inline const std::map<std::string, std::string> kUndeclared = {
    {"QZDataBase", "IsFromEnv"},
    {"QZRealmBase", "OnQueryProc"},
};

inline std::string JoinedTemplate(const ClassRow &Row) {
    std::string Text = Row.Part1;
    if (Row.Part2 != nullptr)
        Text += Row.Part2;
    return Text;
}

inline const ClassRow *FindClass(const std::string &Name) {
    for (const ClassRow &Row : kClasses)
        if (Name == Row.Name)
            return &Row;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Every template attribute and the record member it lands in. The frame
// data's template attribute RealmObjectID is the second UUID after the data
// set's DataBaseID; the module keeps the realm's ID in the first (see
// trelk_records.h), so the template's own attribute maps to the unused slot.
// ---------------------------------------------------------------------------
#define TRELK_LAYOUT_FIELDS(X) \
    X(QZObjectPointer, ObjectID, ObjectID) \
    X(QZObjectPointerWithChangeFlag, ChangeFlag, ChangeFlag) \
    X(QZObjectPointerWithChangeFlag, ObjectID, ObjectID) \
    X(QZRuleBase, IsType, IsType) \
    X(QZRuleBase, RuleBuf, RuleBuf) \
    X(QZRuleBase, RuleDesc, RuleDesc) \
    X(QZRuleAttachBase, QZRuleID, QZRuleID) \
    X(QZDataInputContainer, Index, Index) \
    X(QZDataInputContainer, RequestNumber, RequestNumber) \
    X(QZDataInputContainer, IsFromInternal, IsFromInternal) \
    X(QZDataInputContainer, IsOnlyDirect, IsOnlyDirect) \
    X(QZDataInputContainer, IsSlave, IsSlave) \
    X(QZDataInputContainer, IsMustExist, IsMustExist) \
    X(QZDataInputContainer, DataBaseID, DataBaseID) \
    X(QZDataInputContainer, DataObjectInst, DataObjectInst) \
    X(QZDataInputContainer, DataLocalBuf, DataLocalBuf) \
    X(QZDataInputContainer, QZProcID, QZProcID) \
    X(QZDataInputContainer, DataQueue, DataQueue) \
    X(QZDataBase, SourceData, SourceData) \
    X(QZDataBase, QZRuleAttachQueue, QZRuleAttachQueue) \
    X(QZDataBase, UniformTick, UniformTick) \
    X(QZDataBase, Signature, Signature) \
    X(QZDataBase, ScheduleTickCount, ScheduleTickCount) \
    X(QZDataBase, SequenceIndex, SequenceIndex) \
    X(QZDataBase, OwnerProcID, OwnerProcID) \
    X(QZDataBase, OwnerProcIDInCell, OwnerProcIDInCell) \
    X(QZDataBase, OwnerRunnerProcID, OwnerRunnerProcID) \
    X(QZDataBase, IsType, IsType) \
    X(QZDataBase, LiveCount, LiveCount) \
    X(QZDataBase, ConnectedProc, ConnectedProc) \
    X(QZDataBase, ExcludeProc, ExcludeProc) \
    X(QZDataBase, AcceptProc, AcceptProc) \
    X(QZDataBase, RejectProc, RejectProc) \
    X(QZDataBase, DataTypeClass, DataTypeClass) \
    X(QZDataBase, DataBuf, DataBuf) \
    X(QZDataBase, DataDesc, DataDesc) \
    X(QZDataBase, CacheDataIndex, CacheDataIndex) \
    X(QZDataBase, PropertyPkg, PropertyPkg) \
    X(QZDataSetBase, DataBaseID, DataBaseID) \
    X(QZRealmFrameData, RealmObjectID, TemplateRealmObjectID) \
    X(QZDataOutputContainer, DataBaseID, DataBaseID) \
    X(QZDataOutputContainer, OriginalDataBaseID, OriginalDataBaseID) \
    X(QZDataOutputContainer, ChangeFlag, ChangeFlag) \
    X(QZDataOutputContainer, IsMustExist, IsMustExist) \
    X(QZDataOutputContainer, ReturnNumber, ReturnNumber) \
    X(QZDataOutputContainer, QZData, QZData) \
    X(QZExceptionBase, IsType, IsType) \
    X(QZProcBase, InputQueue, InputQueue) \
    X(QZProcBase, OutputQueue, OutputQueue) \
    X(QZProcBase, QZProcNext, QZProcNext) \
    X(QZProcBase, QZProcChild, QZProcChild) \
    X(QZProcBase, RunnerID, RunnerID) \
    X(QZProcBase, RootProcID, RootProcID) \
    X(QZProcBase, IsSuspend, IsSuspend) \
    X(QZProcBase, ChildEndMarker, ChildEndMarker) \
    X(QZProcBase, IsType, IsType) \
    X(QZProcBase, IsAsync, IsAsync) \
    X(QZProcBase, ErrorCount, ErrorCount) \
    X(QZProcBase, Status, Status) \
    X(QZProcBase, ScheduleCase, ScheduleCase) \
    X(QZProcBase, EnvDataSkipCount, EnvDataSkipCount) \
    X(QZProcBase, LoopCount, LoopCount) \
    X(QZProcBase, LoopCountTotal, LoopCountTotal) \
    X(QZProcBase, NextRunTick, NextRunTick) \
    X(QZProcBase, StartEachExecuteTick, StartEachExecuteTick) \
    X(QZProcBase, DupQZProc, DupQZProc) \
    X(QZProcBase, QZProcIndexTree, QZProcIndexTree) \
    X(QZProcBase, PrivateLocalBuf, PrivateLocalBuf) \
    X(QZProcBase, ProcDesc, ProcDesc) \
    X(QZProcBase, Signature, Signature) \
    X(QZProcBase, AttachObject, AttachObject) \
    X(QZProcRemoteBase, Url, Url) \
    X(QZProcRemoteBase, RemoteQZProcName, RemoteQZProcName) \
    X(QZProcRunnerBase, hThreadID, hThreadID) \
    X(QZProcRunnerBase, QZProcChainID, QZProcChainID) \
    X(QZProcRunnerBase, QZCellID, QZCellID) \
    X(QZProcRunnerBase, PriorityCount, PriorityCount) \
    X(QZProcRunnerBase, IsFinish, IsFinish) \
    X(QZProcRunnerBase, IsOutputRunner, IsOutputRunner) \
    X(QZProcRunnerBase, ErrorCount, ErrorCount) \
    X(QZProcRunnerBase, QZProcBase, QZProcBase) \
    X(QZProcRunnerBase, QZProcStart, QZProcStart) \
    X(QZProcRunnerBase, CurrentQZProcIndexTree, CurrentQZProcIndexTree) \
    X(QZProcChainBase, QZProcBase, QZProcBase) \
    X(QZProcChainBase, QZProcStart, QZProcStart) \
    X(QZProcChainBase, ProcChainDesc, ProcChainDesc) \
    X(QZProcChainBase, Signature, Signature) \
    X(QZProcChainBase, IsBuildDynamic, IsBuildDynamic) \
    X(QZProcChainBase, QZRuleAttachQueue, QZRuleAttachQueue) \
    X(QZCellBase, IsReady, IsReady) \
    X(QZCellBase, IsEnvDataQueueChange, IsEnvDataQueueChange) \
    X(QZCellBase, SingleRunnerFlag, SingleRunnerFlag) \
    X(QZCellBase, NormalRunnerQueue, NormalRunnerQueue) \
    X(QZCellBase, EnvDataQueue, EnvDataQueue) \
    X(QZCellBase, ProcChainQueue, ProcChainQueue) \
    X(QZCellBase, QZProcForOutputQueue, QZProcForOutputQueue) \
    X(QZCellBase, ProcChainRunnerIndexTree, ProcChainRunnerIndexTree) \
    X(QZCellBase, ProcExecutedIndexTree, ProcExecutedIndexTree) \
    X(QZRealmStubBase, ActiveLength, ActiveLength) \
    X(QZRealmStubBase, InitialLiveCount, InitialLiveCount) \
    X(QZRealmStubBase, MaxUnAllocatedData, MaxUnAllocatedData) \
    X(QZRealmStubBase, MaxSourceDataLength, MaxSourceDataLength) \
    X(QZRealmStubBase, MaxLoopCount, MaxLoopCount) \
    X(QZRealmStubBase, HistoryLength, HistoryLength) \
    X(QZRealmStubBase, MaxSuspendTickCount, MaxSuspendTickCount) \
    X(QZRealmBase, TraceFlag, TraceFlag) \
    X(QZRealmBase, CreateFrameData, CreateFrameData) \
    X(QZRealmBase, ExecuteStage, ExecuteStage) \
    X(QZRealmBase, ActiveLength, ActiveLength) \
    X(QZRealmBase, DataSequenceIndex, DataSequenceIndex) \
    X(QZRealmBase, ScheduleTickCount, ScheduleTickCount) \
    X(QZRealmBase, ErrorCount, ErrorCount) \
    X(QZRealmBase, InitialLiveCount, InitialLiveCount) \
    X(QZRealmBase, MaxUnAllocatedData, MaxUnAllocatedData) \
    X(QZRealmBase, MaxSourceDataLength, MaxSourceDataLength) \
    X(QZRealmBase, MaxLoopCount, MaxLoopCount) \
    X(QZRealmBase, HistoryLength, HistoryLength) \
    X(QZRealmBase, MaxSuspendTickCount, MaxSuspendTickCount) \
    X(QZRealmBase, PrivateLocalBuf, PrivateLocalBuf) \
    X(QZRealmBase, EnvDataQueue, EnvDataQueue) \
    X(QZRealmBase, QZCellQueue, QZCellQueue) \
    X(QZRealmBase, QZCellLibrary, QZCellLibrary) \
    X(QZRealmBase, QZRuleQueue, QZRuleQueue)

struct FieldRow {
    const char *Class;
    const char *Attribute;
    size_t Offset;
    size_t Size;
};

#define TRELK_FIELD_ROW(Cls, Attr, Member) \
    {#Cls, #Attr, offsetof(StructOf##Cls, Member), sizeof(static_cast<StructOf##Cls *>(nullptr)->Member)},
inline const FieldRow kFields[] = {TRELK_LAYOUT_FIELDS(TRELK_FIELD_ROW)};
#undef TRELK_FIELD_ROW

// The host's check at start-up, and the frame data's aliasing, fixed at
// compile time as well.
static_assert(offsetof(StructOfQZDataInputContainer, DataQueue) == 64, "DataQueue must lie at offset 64");
static_assert(offsetof(StructOfQZRealmFrameData, RealmObjectID) == offsetof(StructOfQZDataSetBase, DataBaseID),
              "the frame's realm ID shares the data set's DataBaseID slot");
static_assert(sizeof(StructOfQZRealmFrameData) == sizeof(StructOfQZDataSetBase) + sizeof(VS_UUID),
              "the frame record covers the template's own attribute too");
#pragma GCC diagnostic pop

// ---------------------------------------------------------------------------
// Template parsing helpers (pugixml, independent of the host's reader)
// ---------------------------------------------------------------------------
struct ParsedTemplate {
    pugi::xml_document Doc;
    pugi::xml_node ClassNode;
};

inline bool Parse(const ClassRow &Row, ParsedTemplate &Out, std::string *Error) {
    std::string Text = JoinedTemplate(Row);
    pugi::xml_parse_result Result = Out.Doc.load_buffer(Text.data(), Text.size(), pugi::parse_default | pugi::parse_declaration);
    if (!Result) {
        *Error = Result.description();
        return false;
    }
    Out.ClassNode = Out.Doc.child("object").child(Row.Name);
    if (!Out.ClassNode) {
        *Error = "no class element";
        return false;
    }
    return true;
}

inline std::vector<pugi::xml_node> Children(pugi::xml_node Section) {
    std::vector<pugi::xml_node> Nodes;
    for (pugi::xml_node Node : Section.children())
        if (Node.type() == pugi::node_element)
            Nodes.push_back(Node);
    return Nodes;
}

} // namespace layout

#endif
