// The module reads every object through its StructOfQZ<Class> record while the
// host lays the same bytes out from the class template. These tests load the
// 19 templates into the stand-in host as start-up does and hold the two views
// against each other: every attribute's offset and size, the queue kind, and
// the defaults that reach a new object.
#include "layout_tables.h"
#include "tarvex_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

using namespace layout;

namespace {

// ---------------------------------------------------------------------------
// Fixture: the stand-in host with all 19 classes loaded as start-up loads
// them (table order, under a root item, no handlers).
// ---------------------------------------------------------------------------
std::vector<std::string> gExceptTexts;
void CollectExcept(VS_CHAR *Text) { gExceptTexts.push_back(Text != nullptr ? Text : ""); }

class HostLayout : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(tvh::start());
        tvh::lockBoth();
        Service = tvh::service();
        ASSERT_NE(Service, nullptr);
        Service->SetExceptHandler(CollectExcept);
        Service->CreateSysRootItem("quel_trelk", nullptr, nullptr, nullptr);
        void *RootItem = Service->GetSysRootItem("quel_trelk");
        ASSERT_NE(RootItem, nullptr);
        for (const ClassRow &Row : kClasses) {
            std::string Text = JoinedTemplate(Row);
            ClassOfXRQSXMLInterface *SXml = Service->GetSXMLInterface();
            ASSERT_NE(SXml, nullptr);
            ASSERT_TRUE(SXml->LoadFromBuf(Text.c_str(), 0)) << Row.Name;
            VS_UUID ClassID;
            ASSERT_TRUE(Service->StringToUuid(Row.ID, &ClassID)) << Row.Name;
            void *ClassObject = Service->XmlToObjectEx(SXml, RootItem, &ClassID, nullptr, 0);
            SXml->Release();
            ASSERT_NE(ClassObject, nullptr) << Row.Name << ": " << (gExceptTexts.empty() ? "" : gExceptTexts.back());
            ClassObjects()[Row.Name] = ClassObject;
        }
    }
    static void TearDownTestSuite() {
        ClassObjects().clear();
        if (tvh::running()) {
            tvh::unlockBoth();
            tvh::stop();
        }
    }
    static std::map<std::string, void *> &ClassObjects() {
        static std::map<std::string, void *> Objects;
        return Objects;
    }
    static ClassOfXRQInterface *Service;
};
ClassOfXRQInterface *HostLayout::Service = nullptr;

// Every attribute of every class, including each inherited one seen through
// the derived class, lies where the record puts it and is as wide.
TEST_F(HostLayout, EveryAttributeMatchesItsRecordField) {
    for (const ClassRow &Row : kClasses) {
        void *ClassObject = ClassObjects()[Row.Name];
        ASSERT_NE(ClassObject, nullptr) << Row.Name;
        // The class itself, then each ancestor: the derived block begins with
        // the whole parent block, so the ancestors' rows hold here too.
        for (const ClassRow *Owner = &Row; Owner != nullptr;
             Owner = Owner->Parent[0] != '\0' ? FindClass(Owner->Parent) : nullptr) {
            for (const FieldRow &Field : kFields) {
                if (std::strcmp(Field.Class, Owner->Name) != 0)
                    continue;
                VS_ATTRIBUTEINFO Info;
                std::memset(&Info, 0, sizeof(Info));
                ASSERT_TRUE(Service->GetAttributeInfoEx(ClassObject, Field.Attribute, &Info))
                    << Row.Name << "." << Field.Attribute;
                EXPECT_EQ(static_cast<size_t>(Info.Offset), Field.Offset) << Row.Name << "." << Field.Attribute;
                EXPECT_EQ(static_cast<size_t>(Info.Size), Field.Size) << Row.Name << "." << Field.Attribute;
            }
        }
    }
}

// The template's Class attribute on a "void *" field is what makes a child
// queue; the record's 8-byte head must be one exactly where the template
// says so.
TEST_F(HostLayout, QueueKindFollowsTheTemplate) {
    for (const ClassRow &Row : kClasses) {
        ParsedTemplate Parsed;
        std::string Error;
        ASSERT_TRUE(Parse(Row, Parsed, &Error)) << Row.Name << ": " << Error;
        for (pugi::xml_node Attr : Children(Parsed.ClassNode.child("attribute"))) {
            VS_ATTRIBUTEINFO Info;
            std::memset(&Info, 0, sizeof(Info));
            ASSERT_TRUE(Service->GetAttributeInfoEx(ClassObjects()[Row.Name], Attr.name(), &Info))
                << Row.Name << "." << Attr.name();
            bool IsQueue = static_cast<bool>(Attr.attribute("Class"));
            EXPECT_EQ(Info.IsQueue != 0, IsQueue) << Row.Name << "." << Attr.name();
        }
    }
}

TEST_F(HostLayout, InputContainerDataQueueAtOffset64) {
    VS_ATTRIBUTEINFO Info;
    std::memset(&Info, 0, sizeof(Info));
    ASSERT_TRUE(Service->GetAttributeInfoEx(ClassObjects()["QZDataInputContainer"], "DataQueue", &Info));
    EXPECT_EQ(Info.Offset, 64);
    EXPECT_NE(Info.IsQueue, 0);
}

// A new object starts with the template defaults, read through the record.
// This also pins down that the input container's "1.0" default on a package
// pointer leaves the pointer empty: the module releases what it finds there.
TEST_F(HostLayout, NewObjectsCarryTheTemplateDefaults) {
    auto NewObject = [&](const char *Name) -> void * {
        VS_UUID ID;
        EXPECT_TRUE(Service->StringToUuid(FindClass(Name)->ID, &ID));
        return Service->MallocObjectL(&ID, 0, nullptr);
    };

    auto *Input = static_cast<StructOfQZDataInputContainer *>(NewObject("QZDataInputContainer"));
    ASSERT_NE(Input, nullptr);
    EXPECT_EQ(Input->RequestNumber, 1);
    EXPECT_EQ(Input->IsMustExist, 1);
    EXPECT_EQ(Input->IsSlave, 0);
    EXPECT_EQ(Input->DataLocalBuf, nullptr);
    EXPECT_EQ(Input->DataObjectInst, nullptr);

    auto *Output = static_cast<StructOfQZDataOutputContainer *>(NewObject("QZDataOutputContainer"));
    ASSERT_NE(Output, nullptr);
    EXPECT_EQ(Output->ReturnNumber, 1);
    EXPECT_EQ(Output->IsMustExist, 0);

    auto *Realm = static_cast<StructOfQZRealmBase *>(NewObject("QZRealmBase"));
    ASSERT_NE(Realm, nullptr);
    auto *Stub = static_cast<StructOfQZRealmStubBase *>(NewObject("QZRealmStubBase"));
    ASSERT_NE(Stub, nullptr);
    struct LimitCase {
        const char *Name;
        VS_INT64 RealmValue, StubValue, Expected;
    } Limits[] = {
        {"ActiveLength", Realm->ActiveLength, Stub->ActiveLength, 100},
        {"InitialLiveCount", Realm->InitialLiveCount, Stub->InitialLiveCount, 64},
        {"MaxUnAllocatedData", Realm->MaxUnAllocatedData, Stub->MaxUnAllocatedData, 128},
        {"MaxSourceDataLength", Realm->MaxSourceDataLength, Stub->MaxSourceDataLength, 64},
        {"MaxLoopCount", Realm->MaxLoopCount, Stub->MaxLoopCount, 64},
        {"HistoryLength", Realm->HistoryLength, Stub->HistoryLength, 64},
        {"MaxSuspendTickCount", Realm->MaxSuspendTickCount, Stub->MaxSuspendTickCount, 1000},
    };
    for (const LimitCase &Case : Limits) {
        EXPECT_EQ(Case.RealmValue, Case.Expected) << "realm " << Case.Name;
        EXPECT_EQ(Case.StubValue, Case.Expected) << "stub " << Case.Name;
    }
    EXPECT_EQ(Realm->CreateFrameData, 1);
    EXPECT_EQ(Realm->TraceFlag, 0);
    EXPECT_EQ(Realm->ExecuteStage, 0);

    auto *Cell = static_cast<StructOfQZCellBase *>(NewObject("QZCellBase"));
    ASSERT_NE(Cell, nullptr);
    EXPECT_EQ(Cell->SingleRunnerFlag, 1);
    EXPECT_EQ(Cell->IsReady, 0);
    EXPECT_EQ(Cell->IsType, 0);
    EXPECT_EQ(Cell->Status, 0);

    auto *Data = static_cast<StructOfQZDataBase *>(NewObject("QZDataBase"));
    ASSERT_NE(Data, nullptr);
    EXPECT_EQ(Data->IsType, 0);
    EXPECT_EQ(Data->LiveCount, 0);
    ASSERT_NE(Data->DataDesc.Buf, nullptr); // Default="" gives an empty text, not none
    EXPECT_STREQ(Data->DataDesc.Buf, "");

    for (void *Object : {static_cast<void *>(Input), static_cast<void *>(Output), static_cast<void *>(Realm),
                         static_cast<void *>(Stub), static_cast<void *>(Cell), static_cast<void *>(Data)})
        Service->FreeObject(Object);
}

} // namespace
