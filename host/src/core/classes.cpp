// Classes from XML templates: the template reader, record layout and defaults.
#include "core_state.h"

#include <pugixml.hpp>

#include <cerrno>
#include <cstdlib>
#include <strings.h>

namespace tvh {

class SXmlDoc : public ClassOfXRQSXMLInterface {
  public:
    pugi::xml_document doc;
    bool loaded = false;
    std::string loadError;
    VS_ULONG refs = 1;

    VS_BOOL LoadFromBuf(const VS_CHAR *Text, VS_UWORD) override {
        doc.reset();
        loaded = false;
        if (!Text) {
            loadError = "no template text";
            return VS_FALSE;
        }
        pugi::xml_parse_result r = doc.load_string(Text, pugi::parse_default | pugi::parse_declaration);
        if (!r) {
            loadError = std::string("malformed template: ") + r.description() + " at offset " +
                        std::to_string(static_cast<long long>(r.offset));
            doc.reset();
            return VS_FALSE;
        }
        loaded = true;
        loadError.clear();
        return VS_TRUE;
    }
    VS_ULONG AddRef() override { return ++refs; }
    VS_ULONG Release() override {
        VS_ULONG left = --refs;
        if (left == 0) {
            core().sxmls.erase(this);
            delete this;
        }
        return left;
    }
    ~SXmlDoc() override {}
};

ClassOfXRQSXMLInterface *newSXmlDoc() {
    auto *d = new SXmlDoc();
    core().sxmls.insert(d);
    return d;
}

SXmlDoc *asSXmlDoc(ClassOfXRQSXMLInterface *p) {
    auto *d = static_cast<SXmlDoc *>(p);
    return core().sxmls.count(d) ? d : nullptr;
}

void releaseAllSXml() {
    auto docs = core().sxmls;
    core().sxmls.clear();
    for (SXmlDoc *d : docs) delete d;
}

// ---------------------------------------------------------------------------
// Layout (natural x86-64 C alignment; a derived record embeds its parent's)
// ---------------------------------------------------------------------------
static bool kindOf(const std::string &type, bool hasClass, AttrKind *kind, int *size, int *align) {
    if (type == "VS_INT32") *kind = AttrKind::Int32, *size = 4, *align = 4;
    else if (type == "VS_BOOL") *kind = AttrKind::Bool, *size = 1, *align = 1;
    else if (type == "VS_UUID") *kind = AttrKind::Uuid, *size = 16, *align = 4;
    else if (type == "VS_VSTRING") *kind = AttrKind::VString, *size = 8, *align = 8;
    else if (type == "VS_INT64") *kind = AttrKind::Int64, *size = 8, *align = 8;
    else if (type == "VS_ULONG") *kind = AttrKind::ULong, *size = 4, *align = 4;
    else if (type == "void *" || type == "void*") *kind = hasClass ? AttrKind::Queue : AttrKind::Pointer, *size = 8, *align = 8;
    else return false;
    return true;
}

static std::string trimmed(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// Whole-text decimal integer; anything else reads as 0.
static long long parseInteger(const std::string &text, bool isUnsigned) {
    std::string t = trimmed(text);
    if (t.empty()) return 0;
    errno = 0;
    char *end = nullptr;
    long long v = isUnsigned && t[0] != '-' ? (long long)std::strtoull(t.c_str(), &end, 10)
                                            : std::strtoll(t.c_str(), &end, 10);
    if (errno || !end || *end) return 0;
    return v;
}

static void writeDefault(uint8_t *rec, const AttrDef &a) {
    if (!a.hasDefault) return;
    uint8_t *f = rec + a.offset;
    switch (a.kind) {
    case AttrKind::Int32: {
        VS_INT32 v = VS_INT32(parseInteger(a.defaultText, false));
        std::memcpy(f, &v, 4);
        break;
    }
    case AttrKind::ULong: {
        VS_ULONG v = VS_ULONG(parseInteger(a.defaultText, true));
        std::memcpy(f, &v, 4);
        break;
    }
    case AttrKind::Int64: {
        VS_INT64 v = VS_INT64(parseInteger(a.defaultText, false));
        std::memcpy(f, &v, 8);
        break;
    }
    case AttrKind::Bool: {
        std::string t = trimmed(a.defaultText);
        VS_BOOL v = VS_FALSE;
        if (strcasecmp(t.c_str(), "true") == 0) v = VS_TRUE;
        else if (strcasecmp(t.c_str(), "false") == 0) v = VS_FALSE;
        else v = parseInteger(t, false) != 0 ? VS_TRUE : VS_FALSE;
        *f = v;
        break;
    }
    case AttrKind::Uuid: {
        VS_UUID u{};
        if (!parseUuid(trimmed(a.defaultText).c_str(), &u)) u = VS_UUID{};
        std::memcpy(f, &u, 16);
        break;
    }
    default: // texts are copied per record; pointers and queues start NULL
        break;
    }
}

std::unique_ptr<ClassLayout> buildLayout(const ClassLayout *parent, const std::vector<TemplateAttr> &attrs,
                                         std::string *why) {
    auto L = std::make_unique<ClassLayout>();
    size_t off = 0;
    std::unordered_set<std::string> names;
    if (parent) {
        L->attrs = parent->attrs;
        L->align = parent->align;
        off = parent->recordSize;
        for (const AttrDef &a : parent->attrs) names.insert(a.name);
    }
    for (const TemplateAttr &t : attrs) {
        AttrDef a;
        int size = 0, align = 1;
        if (!kindOf(trimmed(t.type), t.hasClass, &a.kind, &size, &align)) {
            *why = "attribute " + t.name + " has unknown type \"" + t.type + "\"";
            return nullptr;
        }
        if (!names.insert(t.name).second) {
            *why = "attribute " + t.name + " is defined twice";
            return nullptr;
        }
        if (L->attrs.size() >= VS_INVALID_ATTRIBUTEINDEX) {
            *why = "too many attributes";
            return nullptr;
        }
        off = (off + size_t(align) - 1) / size_t(align) * size_t(align);
        a.name = t.name;
        a.offset = int(off);
        a.size = size;
        a.index = OBJECTATTRIBUTEINDEX(L->attrs.size());
        a.defaultText = t.defaultText;
        a.hasDefault = t.hasDefault;
        a.syncFlag = t.syncFlag;
        a.queueClass = t.queueClass;
        off += size_t(size);
        L->align = std::max(L->align, size_t(align));
        L->attrs.push_back(a);
    }
    for (size_t i = 0; i < L->attrs.size(); ++i) {
        L->byName.emplace(std::string_view(L->attrs[i].name), i);
        if (L->attrs[i].kind == AttrKind::Queue) L->queues.emplace_back(L->attrs[i].offset, L->attrs[i].index);
    }
    L->recordSize = (off + L->align - 1) / L->align * L->align;
    L->defaults.assign(L->recordSize, 0);
    if (parent) std::memcpy(L->defaults.data(), parent->defaults.data(), parent->defaults.size());
    for (size_t i = parent ? parent->attrs.size() : 0; i < L->attrs.size(); ++i)
        writeDefault(L->defaults.data(), L->attrs[i]);
    L->layer = parent ? parent->layer + 1 : 1;
    return L;
}

static void fail(const std::string &text) {
    reportException(("XmlToObjectEx: " + text).c_str());
}

HostObject *createClassFromXml(SXmlDoc *doc, HostObject *rootItem, const VS_UUID *classId,
                               VS_SYSEVENTPTR handler) {
    if (!doc) {
        fail("no template reader");
        return nullptr;
    }
    if (!doc->loaded) {
        fail(doc->loadError.empty() ? "no template loaded" : doc->loadError);
        return nullptr;
    }
    pugi::xml_node root = doc->doc.child("object");
    if (!root) {
        fail("template has no <object> root element");
        return nullptr;
    }
    pugi::xml_node cls = root.find_child([](pugi::xml_node n) { return n.type() == pugi::node_element; });
    if (!cls) {
        fail("template names no class");
        return nullptr;
    }
    std::string name = cls.name();
    VS_UUID id{};
    if (classId) {
        id = *classId;
    } else if (!parseUuid(cls.attribute("ID").value(), &id)) {
        fail("class " + name + " has no valid ID");
        return nullptr;
    }
    static const VS_UUID zero{};
    if (std::memcmp(&id, &zero, sizeof id) == 0) {
        fail("class " + name + " has an all-zero ID");
        return nullptr;
    }
    if (lookupById(&id)) {
        char t[37];
        formatUuid(&id, t);
        fail("class " + name + ": ID " + t + " is already in use");
        return nullptr;
    }
    if (findClassByName(name.c_str())) {
        fail("class " + name + " is already registered");
        return nullptr;
    }
    HostObject *parent = nullptr;
    pugi::xml_attribute pc = cls.attribute("Class");
    std::string parentName = pc ? trimmed(pc.value()) : std::string();
    if (!parentName.empty()) {
        parent = findClassByName(parentName.c_str());
        if (!parent) {
            fail("class " + name + ": unknown parent class " + parentName);
            return nullptr;
        }
    }
    std::vector<TemplateAttr> attrs;
    std::vector<std::pair<std::string, std::string>> functions;
    for (pugi::xml_node sect : cls.children()) {
        if (sect.type() != pugi::node_element) continue;
        std::string sn = sect.name();
        if (sn == "attribute") {
            for (pugi::xml_node f : sect.children()) {
                if (f.type() != pugi::node_element) continue;
                TemplateAttr t;
                t.name = f.name();
                pugi::xml_attribute ty = f.attribute("Type");
                if (!ty) {
                    fail("class " + name + ": attribute " + t.name + " has no Type");
                    return nullptr;
                }
                t.type = ty.value();
                if (pugi::xml_attribute d = f.attribute("Default")) t.hasDefault = true, t.defaultText = d.value();
                if (pugi::xml_attribute c = f.attribute("Class")) t.hasClass = true, t.queueClass = c.value();
                t.syncFlag = std::string(f.attribute("SyncFlag").value()) == "1";
                attrs.push_back(t);
            }
        } else if (sn == "function") {
            for (pugi::xml_node f : sect.children()) {
                if (f.type() != pugi::node_element) continue;
                functions.emplace_back(f.name(), f.attribute("Desc").value());
            }
        }
    }
    std::string why;
    auto layout = buildLayout(parent ? parent->ownLayout() : nullptr, attrs, &why);
    if (!layout) {
        fail("class " + name + ": " + why);
        return nullptr;
    }
    layout->handler = handler;
    return createClassObject(name, id, parent, rootItem, std::move(layout), functions);
}

} // namespace tvh
