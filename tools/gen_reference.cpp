// Writes docs/reference.md from the module library itself: each class's
// template (parent, attributes in record order, luafuncs with their prototype
// text) and its binding table (which luafuncs are bound today). Reading the
// built library rather than the sources means a function bound anywhere shows
// up as bound without this tool knowing where the tables live. Each luafunc
// also gets its one-line summary from tools/reference_summaries.txt and a link
// to the guide section that explains it: the first section of the guide that
// names it, looked for in its class's chapters first.
//
//   gen_reference MODULE.so SUMMARIES GUIDE OUTPUT.md      writes the reference
//   gen_reference MODULE.so SUMMARIES GUIDE --check FILE   exit 1 when FILE differs from it
#include "trelk_bind.h"

#include <dlfcn.h>
#include <pugixml.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
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

// The guide chapters that explain a class, in the order to look in.
struct ClassChapters {
    const char *Class;
    std::vector<int> Chapters;
};
const ClassChapters Chapters[] = {
    {"QZRuleBase", {6, 8}},      {"QZDataInputContainer", {7}}, {"QZDataBase", {6}},
    {"QZDataSetBase", {6}},      {"QZObjectDataBase", {6}},     {"QZBufDataBase", {6}},
    {"QZRealmFrameData", {6, 11}}, {"QZExceptionBase", {6}},    {"QZProcBase", {7, 8}},
    {"QZProcRemoteBase", {8}},   {"QZProcRunnerBase", {8}},     {"QZProcChainBase", {8}},
    {"QZCellBase", {9}},         {"QZRealmStubBase", {10, 11}}, {"QZRealmBase", {10, 11, 12, 13}},
};

bool ReadFile(const std::string &Path, std::string *Text) {
    std::ifstream In(Path, std::ios::binary);
    std::stringstream Have;
    Have << In.rdbuf();
    *Text = Have.str();
    return (bool)In;
}

// "Class.Function<TAB>summary" lines; '#' starts a comment line.
std::map<std::string, std::string> ReadSummaries(const std::string &Text) {
    std::map<std::string, std::string> Map;
    std::istringstream In(Text);
    std::string Line;
    while (std::getline(In, Line)) {
        size_t Tab = Line.find('\t');
        if (Line.empty() || Line[0] == '#' || Tab == std::string::npos)
            continue;
        Map[Line.substr(0, Tab)] = Line.substr(Tab + 1);
    }
    return Map;
}

// One section of the guide: its chapter number, its title as a link names it,
// the anchor the renderer gives its heading, and its text.
struct Section {
    int Chapter = 0;
    bool Sub = false; // a "###" section, not a chapter's opening
    std::string Title, Anchor, Text;
};

std::string HeadingAnchor(const std::string &Title) {
    std::string A;
    for (char C : Title) {
        if (C >= 'A' && C <= 'Z')
            A += (char)(C - 'A' + 'a');
        else if ((C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '-' || C == '_')
            A += C;
        else if (C == ' ')
            A += '-';
    }
    return A;
}

std::vector<Section> ReadGuide(const std::string &Text) {
    std::vector<Section> Sections;
    std::map<std::string, int> Seen; // repeated headings get "-1", "-2", ... as the renderer does
    std::istringstream In(Text);
    std::string Line;
    int Chapter = 0;
    bool InCode = false;
    while (std::getline(In, Line)) {
        if (Line.compare(0, 3, "```") == 0)
            InCode = !InCode;
        bool Top = !InCode && Line.compare(0, 3, "## ") == 0;
        bool Sub = !InCode && Line.compare(0, 4, "### ") == 0;
        if (Top || Sub) {
            Section S;
            std::string Title = Line.substr(Top ? 3 : 4);
            if (Top)
                Chapter = atoi(Title.c_str());
            S.Chapter = Chapter;
            S.Sub = Sub;
            S.Title = Top ? Title : std::to_string(Chapter) + ". " + Title;
            std::string Anchor = HeadingAnchor(Title);
            int N = Seen[Anchor]++;
            S.Anchor = N == 0 ? Anchor : Anchor + "-" + std::to_string(N);
            Sections.push_back(S);
            continue;
        }
        if (!Sections.empty())
            Sections.back().Text += Line + "\n";
    }
    return Sections;
}

bool NamesFunction(const std::string &Text, const std::string &Name) {
    for (size_t At = Text.find(Name); At != std::string::npos; At = Text.find(Name, At + 1)) {
        char Before = At > 0 ? Text[At - 1] : ' ';
        char After = At + Name.size() < Text.size() ? Text[At + Name.size()] : ' ';
        bool StartsName = Before == ':' || Before == '.' || Before == '`' || Before == '"';
        bool EndsName = After == '(' || After == '`' || After == '"';
        if (StartsName && EndsName)
            return true;
    }
    return false;
}

// A table row whose first cell names the function: the row that explains it.
bool RowNamesFunction(const std::string &Text, const std::string &Name) {
    std::istringstream In(Text);
    std::string Line;
    while (std::getline(In, Line)) {
        if (Line.compare(0, 2, "| ") != 0)
            continue;
        size_t End = Line.find(" |", 2);
        if (End != std::string::npos && NamesFunction(Line.substr(1, End), Name))
            return true;
    }
    return false;
}

std::string Link(const Section &S) { return "[" + S.Title + "](scripting.md#" + S.Anchor + ")"; }

// The section named in the summary line (after a second tab) when given;
// else, in the class's chapters, a table row that names the function, then a
// sub-section that names it, then the chapter's opening; then anywhere.
std::string GuideLink(const std::vector<Section> &Guide, const std::string &Class, const std::string &Name,
                      const std::string &Wanted) {
    if (!Wanted.empty()) {
        for (const Section &S : Guide)
            if (S.Title == Wanted)
                return Link(S);
        return "";
    }
    std::vector<int> Order;
    for (const ClassChapters &C : Chapters)
        if (Class == C.Class)
            Order = C.Chapters;
    for (int Pass = 0; Pass < 3; Pass++)
        for (int Chapter : Order)
            for (const Section &S : Guide) {
                if (S.Chapter != Chapter)
                    continue;
                if ((Pass == 0 && RowNamesFunction(S.Text, Name)) ||
                    (Pass == 1 && S.Sub && NamesFunction(S.Text, Name)) ||
                    (Pass == 2 && !S.Sub && NamesFunction(S.Text, Name)))
                    return Link(S);
            }
    for (const Section &S : Guide)
        if (NamesFunction(S.Text, Name))
            return Link(S);
    return "";
}

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
    std::vector<std::string> Unsummarised, Unplaced;
};

bool Describe(void *Module, const char *Class, const std::map<std::string, std::string> &Summaries,
              const std::vector<Section> &Guide, ClassDoc *Doc, std::string *Error) {
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
        auto Found = Summaries.find(std::string(Class) + "." + Func.name());
        std::string Summary, Wanted;
        if (Found == Summaries.end())
            Doc->Unsummarised.push_back(std::string(Class) + "." + Func.name());
        else {
            Summary = Found->second;
            size_t Tab = Summary.find('\t');
            if (Tab != std::string::npos) {
                Wanted = Summary.substr(Tab + 1);
                Summary.resize(Tab);
            }
        }
        std::string Where = GuideLink(Guide, Class, Func.name(), Wanted);
        if (!Wanted.empty() && Where.empty())
            Doc->Unplaced.push_back(std::string(Class) + "." + Func.name() + ": no guide section \"" + Wanted + "\"");
        F << "| " << Code(Func.name()) << " | " << Code(Func.attribute("Desc").value()) << " | " << Summary << " | "
          << Where << " | " << (IsBound ? "bound" : "not bound") << " |\n";
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
        << "do not edit by hand. After binding more functions, or changing their summaries or the guide,\n"
        << "regenerate with\n\n"
        << "    " << Regenerate << "\n\n"
        << "The guide, [scripting.md](scripting.md), explains how to use them. Prototypes are the\n"
        << "templates' own text in C terms: `VS_PARAPKGPTR` is a package, `VS_CHAR *` a string,\n"
        << "`VS_BOOL` a boolean, `void *` and `struct StructOf... *` objects, `...` any arguments.\n"
        << "A class also has every function and attribute of its parent. An attribute noted as a\n"
        << "queue holds child objects (`_Children(obj, name)` lists them); `SyncFlag` is a host\n"
        << "attribute flag, passed to the host as the template gives it. Each luafunc has a one-line\n"
        << "summary (from `tools/reference_summaries.txt`) and the guide section that explains it.\n\n"
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
            Out << "\n| Luafunc | Prototype | What it does | Guide | Today |\n|---|---|---|---|---|\n" << D.Functions;
        else
            Out << "\nNo luafuncs of its own.\n";
    }
    return Out.str();
}

} // namespace

int main(int argc, char **argv) {
    bool Check = argc == 6 && std::string(argv[4]) == "--check";
    if (argc != 5 && !Check) {
        fprintf(stderr,
                "usage: %s MODULE.so SUMMARIES GUIDE OUTPUT.md | %s MODULE.so SUMMARIES GUIDE --check FILE.md\n",
                argv[0], argv[0]);
        return 64;
    }
    std::string SummaryText, GuideText;
    if (!ReadFile(argv[2], &SummaryText) || !ReadFile(argv[3], &GuideText)) {
        fprintf(stderr, "cannot read %s or %s\n", argv[2], argv[3]);
        return 1;
    }
    std::map<std::string, std::string> Summaries = ReadSummaries(SummaryText);
    std::vector<Section> Guide = ReadGuide(GuideText);
    void *Module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (Module == nullptr) {
        fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
        return 1;
    }
    std::vector<ClassDoc> Docs;
    for (const char *Class : Classes) {
        ClassDoc Doc;
        std::string Error;
        if (!Describe(Module, Class, Summaries, Guide, &Doc, &Error)) {
            fprintf(stderr, "%s: %s\n", argv[1], Error.c_str());
            return 1;
        }
        // A new luafunc is listed all the same; its summary is asked for here.
        for (const std::string &Name : Doc.Unsummarised)
            fprintf(stderr, "%s has no line in %s\n", Name.c_str(), argv[2]);
        for (const std::string &Text : Doc.Unplaced)
            fprintf(stderr, "%s (%s)\n", Text.c_str(), argv[2]);
        Docs.push_back(Doc);
    }
    std::string Text = Render(Docs);
    const char *Path = Check ? argv[5] : argv[4];
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
