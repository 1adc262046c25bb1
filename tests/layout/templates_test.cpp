// Checks of the class templates themselves: format, IDs and parents, the
// attribute table that the host layout test relies on, and the luafunc
// declarations against the class table.
#include "layout_tables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

using namespace layout;

namespace {

// ---------------------------------------------------------------------------
// Template-only checks (no host needed)
// ---------------------------------------------------------------------------

// The field table and the templates name the same attributes, so no
// attribute escapes the offset check and no record field is stale.
TEST(Templates, FieldTableCoversEveryAttribute) {
    for (const ClassRow &Row : kClasses) {
        ParsedTemplate Parsed;
        std::string Error;
        ASSERT_TRUE(Parse(Row, Parsed, &Error)) << Row.Name << ": " << Error;
        std::vector<std::string> InTemplate;
        for (pugi::xml_node Attr : Children(Parsed.ClassNode.child("attribute")))
            InTemplate.push_back(Attr.name());
        std::vector<std::string> InTable;
        for (const FieldRow &Field : kFields)
            if (std::strcmp(Field.Class, Row.Name) == 0)
                InTable.push_back(Field.Attribute);
        // Same names in the same order: the order is the layout.
        EXPECT_EQ(InTemplate, InTable) << Row.Name;
    }
}

TEST(Templates, FormatIdsParentsAndTypes) {
    const std::set<std::string> Types = {"VS_INT32", "VS_BOOL", "VS_UUID", "VS_VSTRING",
                                         "VS_INT64", "VS_ULONG", "void *"};
    for (const ClassRow &Row : kClasses) {
        std::string Text = JoinedTemplate(Row);
        EXPECT_EQ(Text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 0), 0u) << Row.Name;
        if (Row.Part2 != nullptr) {
            EXPECT_LT(Text.size() + 1, Row.JoinSize) << Row.Name << " does not fit its join buffer";
        }

        ParsedTemplate Parsed;
        std::string Error;
        ASSERT_TRUE(Parse(Row, Parsed, &Error)) << Row.Name << ": " << Error;
        std::vector<pugi::xml_node> Roots = Children(Parsed.Doc);
        ASSERT_EQ(Roots.size(), 1u) << Row.Name;
        EXPECT_STREQ(Roots[0].name(), "object");
        ASSERT_EQ(Children(Roots[0]).size(), 1u) << Row.Name << ": one class per text";
        EXPECT_STREQ(Parsed.ClassNode.attribute("ID").value(), Row.ID);
        EXPECT_STREQ(Parsed.ClassNode.attribute("Class").value(), Row.Parent) << Row.Name;

        for (pugi::xml_node Attr : Children(Parsed.ClassNode.child("attribute"))) {
            std::string Type = Attr.attribute("Type").value();
            EXPECT_TRUE(Types.count(Type)) << Row.Name << "." << Attr.name() << ": " << Type;
            if (Attr.attribute("Class")) {
                EXPECT_EQ(Type, "void *") << Row.Name << "." << Attr.name() << ": only pointers hold queues";
            }
            if (Attr.attribute("SyncFlag")) {
                EXPECT_STREQ(Attr.attribute("SyncFlag").value(), "1") << Row.Name << "." << Attr.name();
            }
        }
    }
}

// Declared luafuncs per class: the class table's bound count less the two
// that registration binds without a declaration; each well formed.
TEST(Templates, LuafuncDeclarationsMatchTheClassTable) {
    int TotalBound = 0, TotalDeclared = 0;
    for (const ClassRow &Row : kClasses) {
        ParsedTemplate Parsed;
        std::string Error;
        ASSERT_TRUE(Parse(Row, Parsed, &Error)) << Row.Name << ": " << Error;
        std::set<std::string> Names;
        int Declared = 0;
        for (pugi::xml_node Func : Children(Parsed.ClassNode.child("function"))) {
            ++Declared;
            std::string Name = Func.name();
            EXPECT_TRUE(Names.insert(Name).second) << Row.Name << "." << Name << " declared twice";
            EXPECT_STREQ(Func.attribute("Type").value(), "luafunc") << Row.Name << "." << Name;
            std::string Desc = Func.attribute("Desc").value();
            // The prototype names the function and opens its argument list.
            size_t At = Desc.find(Name);
            ASSERT_NE(At, std::string::npos) << Row.Name << "." << Name << ": " << Desc;
            size_t Paren = Desc.find_first_not_of(' ', At + Name.size());
            ASSERT_NE(Paren, std::string::npos) << Desc;
            EXPECT_EQ(Desc[Paren], '(') << Row.Name << "." << Name << ": " << Desc;
            EXPECT_NE(Desc.find(')', Paren), std::string::npos) << Desc;
        }
        auto Undeclared = kUndeclared.find(Row.Name);
        int Expected = Row.Bound - (Undeclared != kUndeclared.end() ? 1 : 0);
        EXPECT_EQ(Declared, Expected) << Row.Name;
        if (Undeclared != kUndeclared.end()) {
            EXPECT_EQ(Names.count(Undeclared->second), 0u) << Row.Name << " must not declare " << Undeclared->second;
        }
        TotalBound += Row.Bound;
        TotalDeclared += Declared;
    }
    EXPECT_EQ(TotalBound, 392);
    EXPECT_EQ(TotalDeclared, 390);
}

// The reserved names are declared exactly where registration binds them.
TEST(Templates, ReservedNamesDeclaredWhereBound) {
    const std::set<std::string> WithQuelCall = {"QZRuleBase",      "QZDataBase", "QZDataSetBase",
                                                "QZObjectDataBase", "QZBufDataBase", "QZProcChainBase",
                                                "QZCellBase",      "QZRealmStubBase", "QZRealmBase"};
    for (const ClassRow &Row : kClasses) {
        ParsedTemplate Parsed;
        std::string Error;
        ASSERT_TRUE(Parse(Row, Parsed, &Error)) << Row.Name << ": " << Error;
        pugi::xml_node Funcs = Parsed.ClassNode.child("function");
        EXPECT_EQ(static_cast<bool>(Funcs.child("_QuelCall")), WithQuelCall.count(Row.Name) == 1) << Row.Name;
        EXPECT_EQ(static_cast<bool>(Funcs.child("_QuelToString")), std::string(Row.Name) == "QZDataBase")
            << Row.Name;
    }
}

} // namespace
