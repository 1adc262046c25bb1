// Writes docs/reference.md from the module library itself: each class's
// template (parent, attributes in record order, luafuncs with their prototype
// text) and its binding table (which luafuncs are bound today). Reading the
// built library rather than the sources means a function bound anywhere shows
// up as bound without this tool knowing where the tables live.
//
//   gen_reference MODULE.so OUTPUT.md      writes the reference
//   gen_reference MODULE.so --check FILE   exit 1 when FILE differs from it
#include "trelk_bind.h"

#include <dlfcn.h>
#include <pugixml.hpp>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Registration order, which is also the order parents come before children.
const char *const Classes[] = {
    "QZObjectPointer", "QZObjectPointerWithChangeFlag", "QZRuleBase", "QZRuleAttachBase",
    "QZDataInputContainer", "QZDataBase", "QZDataSetBase", "QZObjectDataBase", "QZBufDataBase",
    "QZRealmFrameData", "QZDataOutputContainer", "QZExceptionBase", "QZProcBase",
    "QZProcRemoteBase", "QZProcRunnerBase", "QZProcChainBase", "QZCellBase",
    "QZRealmStubBase", "QZRealmBase",
};

const char *const Regenerate = "cmake --build build --target reference";

bool TemplateText(void *Module, const std::string &Class, std::string *Text) {
    if (auto *Whole = (const char *)dlsym(Module, (Class + "_Template").c_str())) {
        *Text = Whole;
        return true;
    }
    auto *Part1 = (const char *)dlsym(Module, (Class + "_Template_Part1").c_str());
    auto *Part2 = (const char *)dlsym(Module, (Class + "_Template_Part2").c_str());
    if (Part1 == nullptr || Part2 == nullptr)
        return false;
    *Text = std::string(Part1) + Part2;
    return true;
}

std::string Anchor(const std::string &Class) {
    std::string A;
    for (char C : Class)
        A += (char)((C >= 'A' && C <= 'Z') ? C - 'A' + 'a' : C);
    return A;
}

std::string Code(const std::string &Text) { return Text.empty() ? std::string() : "`" + Text + "`"; }

struct ClassDoc {
    std::string Name, Id, Parent;
    std::string Attributes, Functions;
    int Declared = 0, Bound = 0;
};

bool Describe(void *Module, const char *Class, ClassDoc *Doc, std::string *Error) {
    Doc->Name = Class;
    std::string Text;
    if (!TemplateText(Module, Class, &Text)) {
        *Error = std::string("no template of ") + Class;
        return false;
    }
    auto *Table = (const StructOfTrelkLuaFuncEntry *)dlsym(Module, (std::string(Class) + "_LuaFuncTable").c_str());
    if (Table == nullptr) {
        *Error = std::string("no binding table of ") + Class;
        return false;
    }
    pugi::xml_document Xml;
    if (!Xml.load_string(Text.c_str())) {
        *Error = std::string("template of ") + Class + " is not well-formed";
        return false;
    }
    pugi::xml_node Node = Xml.child("object").child(Class);
    if (!Node) {
        *Error = std::string("template of ") + Class + " declares another class";
        return false;
    }
    Doc->Id = Node.attribute("ID").value();
    Doc->Parent = Node.attribute("Class").value();

    std::ostringstream A;
    for (pugi::xml_node Attr : Node.child("attribute").children()) {
        std::string Type = Attr.attribute("Type").value();
        std::string Notes;
        // A pointer attribute that names a class, even the empty one, is a
        // queue of child objects (_Children lists it); other pointers are the
        // module's own.
        if (pugi::xml_attribute Of = Attr.attribute("Class"))
            Notes = *Of.value() ? std::string("queue of ") + Code(Of.value()) : std::string("queue");
        if (Attr.attribute("SyncFlag").as_int() != 0)
            Notes += Notes.empty() ? "`SyncFlag`" : ", `SyncFlag`";
        pugi::xml_attribute Default = Attr.attribute("Default");
        std::string DefaultText = !Default ? "" : *Default.value() ? Code(Default.value()) : "`\"\"`";
        A << "| " << Code(Attr.name()) << " | " << Code(Type) << " | " << DefaultText << " | " << Notes << " |\n";
    }
    Doc->Attributes = A.str();

    std::ostringstream F;
    for (pugi::xml_node Func : Node.child("function").children()) {
        if (std::string(Func.attribute("Type").value()) != "luafunc")
            continue;
        bool IsBound = false;
        for (const StructOfTrelkLuaFuncEntry *Entry = Table; Entry->Name != nullptr; Entry++)
            if (Entry->Func != nullptr && std::string(Entry->Name) == Func.name())
                IsBound = true;
        Doc->Declared++;
        Doc->Bound += IsBound ? 1 : 0;
        F << "| " << Code(Func.name()) << " | " << Code(Func.attribute("Desc").value()) << " | "
          << (IsBound ? "bound" : "not bound") << " |\n";
    }
    Doc->Functions = F.str();
    return true;
}

std::string Render(const std::vector<ClassDoc> &Docs) {
    int Declared = 0, Bound = 0;
    for (const ClassDoc &D : Docs) {
        Declared += D.Declared;
        Bound += D.Bound;
    }
    std::ostringstream Out;
    Out << "# quel_trelk function reference\n\n"
        << "Generated from the module's class templates and binding tables by `tools/gen_reference.cpp`;\n"
        << "do not edit by hand. After binding more functions, regenerate with\n\n"
        << "    " << Regenerate << "\n\n"
        << "The guide, [scripting.md](scripting.md), explains how to use them. Prototypes are the\n"
        << "templates' own text in C terms: `VS_PARAPKGPTR` is a package, `VS_CHAR *` a string,\n"
        << "`VS_BOOL` a boolean, `void *` and `struct StructOf... *` objects, `...` any arguments.\n"
        << "A class also has every function and attribute of its parent. An attribute noted as a\n"
        << "queue holds child objects (`_Children(obj, name)` lists them); `SyncFlag` is a host\n"
        << "attribute flag, passed to the host as the template gives it.\n\n"
        << "**" << Bound << " of " << Declared << " declared luafuncs are bound today.** Calling one marked\n"
        << "\"not bound\" stops the script with `function '...' is not bound`.\n\n"
        << "| Class | Parent | Luafuncs bound |\n|---|---|---|\n";
    for (const ClassDoc &D : Docs)
        Out << "| [" << D.Name << "](#" << Anchor(D.Name) << ") | " << (D.Parent.empty() ? std::string("none") : Code(D.Parent)) << " | " << D.Bound
            << " of " << D.Declared << " |\n";
    for (const ClassDoc &D : Docs) {
        Out << "\n## " << D.Name << "\n\n"
            << "Class ID `" << D.Id << "`; parent "
            << (D.Parent.empty() ? std::string("none (a root class of the module)") : "[" + D.Parent + "](#" +
                                                                                            Anchor(D.Parent) + ")")
            << ".\n";
        if (!D.Attributes.empty())
            Out << "\n| Attribute | Type | Default | Notes |\n|---|---|---|---|\n" << D.Attributes;
        else
            Out << "\nNo attributes of its own.\n";
        if (!D.Functions.empty())
            Out << "\n| Luafunc | Prototype | Today |\n|---|---|---|\n" << D.Functions;
        else
            Out << "\nNo luafuncs of its own.\n";
    }
    return Out.str();
}

} // namespace

int main(int argc, char **argv) {
    bool Check = argc == 4 && std::string(argv[2]) == "--check";
    if (argc != 3 && !Check) {
        fprintf(stderr, "usage: %s MODULE.so OUTPUT.md | %s MODULE.so --check FILE.md\n", argv[0], argv[0]);
        return 64;
    }
    void *Module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (Module == nullptr) {
        fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
        return 1;
    }
    std::vector<ClassDoc> Docs;
    for (const char *Class : Classes) {
        ClassDoc Doc;
        std::string Error;
        if (!Describe(Module, Class, &Doc, &Error)) {
            fprintf(stderr, "%s: %s\n", argv[1], Error.c_str());
            return 1;
        }
        Docs.push_back(Doc);
    }
    std::string Text = Render(Docs);
    const char *Path = Check ? argv[3] : argv[2];
    if (Check) {
        std::ifstream In(Path, std::ios::binary);
        std::stringstream Have;
        Have << In.rdbuf();
        if (!In || Have.str() != Text) {
            fprintf(stderr, "%s is not what the module declares and binds today: regenerate it with\n  %s\n", Path,
                    Regenerate);
            return 1;
        }
        printf("%s matches the module\n", Path);
        return 0;
    }
    FILE *File = fopen(Path, "wb");
    if (File == nullptr || fwrite(Text.data(), 1, Text.size(), File) != Text.size() || fclose(File) != 0) {
        fprintf(stderr, "cannot write %s\n", Path);
        return 1;
    }
    printf("wrote %s\n", Path);
    return 0;
}
