// JSON text of parameter packages, through rapidjson's SAX reader and writer
// (they keep key order and repeated keys, which a DOM would not promise).
#include "pkg_internal.h"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tvh {
namespace pkg {

std::string formatDouble(double v) {
    // Fewer digits are not always the shorter text: between 1e15 and 1e17 a
    // lower precision switches to the exponent form, so every precision that
    // reads back is measured (a tie keeps the lower precision).
    char buf[40] = "";
    size_t best = 0;
    for (int prec = 15; prec <= 17; ++prec) {
        char cand[40];
        int n = snprintf(cand, sizeof cand, "%.*g", prec, v);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof cand) continue;
        if (strtod(cand, nullptr) != v && prec != 17) continue; // %.17g always reads back
        if (best == 0 || static_cast<size_t>(n) < best) {
            memcpy(buf, cand, static_cast<size_t>(n) + 1);
            best = static_cast<size_t>(n);
        }
    }
    // A reader must see a double again: "3" would come back as an integer.
    bool integral = true;
    for (const char *c = buf; *c; ++c)
        if (!(*c == '-' || (*c >= '0' && *c <= '9'))) integral = false;
    std::string s(buf);
    if (integral) s += ".0";
    return s;
}

namespace {

typedef rapidjson::Writer<rapidjson::StringBuffer> JsonWriter;

std::string uuidText(const VS_UUID &u) {
    char buf[40];
    snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", u.Data1, u.Data2, u.Data3,
             u.Data4[0], u.Data4[1], u.Data4[2], u.Data4[3], u.Data4[4], u.Data4[5], u.Data4[6], u.Data4[7]);
    return buf;
}

std::string objectText(const Item &it) {
    HostObject *o = lookupById(&it.id);
    return "[" + uuidText(it.id) + ":" + (o ? o->name.str() : std::string()) + "]";
}

std::string binaryText(const Item &it) {
    return "<binary " + std::to_string(it.bytes.size()) + " bytes>";
}

// Nesting of package-valued dictionary keys handled by keyText (each level
// writes a nested text); deeper ones read as null rather than recurse on.
thread_local int gKeyTextDepth = 0;

// Text of a dictionary key that is no string (value text only).
std::string keyText(const Item &it) {
    switch (it.type) {
    case VSTYPE_INT32:
    case VSTYPE_INT64:
    case VSTYPE_TIME:
        return std::to_string(it.i);
    case VSTYPE_BOOL:
        return it.i ? "true" : "false";
    case VSTYPE_DOUBLE:
        return std::isfinite(it.d) ? formatDouble(it.d) : "null";
    case VSTYPE_BIN:
        return binaryText(it);
    case VSTYPE_OBJECT:
        return objectText(it);
    case VSTYPE_PARAPKG: {
        if (!it.pkg || gKeyTextDepth >= 16) return "null";
        ++gKeyTextDepth;
        VS_CHAR *t = writeJson(it.pkg, true);
        --gKeyTextDepth;
        std::string s = t ? t : "null";
        free(t);
        return s;
    }
    default:
        return "null";
    }
}

// Writes one non-package value; FALSE when it has no JSON form.
bool writeScalar(JsonWriter &w, const Item &it, bool valueText) {
    switch (it.type) {
    case VSTYPE_EMPTY:
        return w.Null();
    case VSTYPE_INT32:
        return w.Int(static_cast<int>(it.i));
    case VSTYPE_INT64:
        return w.Int64(it.i);
    case VSTYPE_DOUBLE: {
        // JSON has no infinity or NaN: a JSON text refuses them rather than
        // write a null that reads back as another value; the value text
        // (display only) shows them as null.
        if (!std::isfinite(it.d)) return valueText ? w.Null() : false;
        std::string s = formatDouble(it.d);
        return w.RawValue(s.data(), s.size(), rapidjson::kNumberType);
    }
    case VSTYPE_BOOL:
        return w.Bool(it.i != 0);
    case VSTYPE_STRING:
        return w.String(it.bytes.data(), static_cast<rapidjson::SizeType>(it.bytes.size()));
    case VSTYPE_BIN: {
        if (!valueText) return false;
        std::string s = binaryText(it);
        return w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
    }
    case VSTYPE_TIME:
        if (!valueText) return false;
        return w.Int64(it.i);
    case VSTYPE_OBJECT: {
        if (!valueText) return false;
        std::string s = objectText(it);
        return w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
    }
    default:
        return false;
    }
}

// SAX handler building packages; containers are kept on an explicit stack
// and the reader runs iteratively, so deep input cannot exhaust the stack.
struct Builder : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Builder> {
    ParaPkg *root;
    std::vector<ParaPkg *> open;
    bool rootDict = false;
    // Why the handler stopped the reader; rapidjson only knows that it did.
    const char *why = nullptr;

    bool stop(const char *reason) {
        why = reason;
        return false;
    }

    explicit Builder(ParaPkg *r) : root(r) {}

    bool add(Item &&it) {
        if (open.empty()) return stop("The top level is no array or object.");
        try {
            open.back()->items.push_back(std::move(it));
        } catch (const std::bad_alloc &) {
            return stop("out of memory");
        }
        return true;
    }
    bool start(bool dict) {
        if (open.empty()) {
            rootDict = dict;
            open.push_back(root);
            return true;
        }
        if (open.size() >= static_cast<size_t>(kMaxJsonDepth))
            return stop("Arrays and objects nest too deep.");
        ParaPkg *child = new (std::nothrow) ParaPkg();
        if (!child) return stop("out of memory");
        child->dict = dict;
        Item it;
        it.type = VSTYPE_PARAPKG;
        it.pkg = child; // the item takes the one reference
        try {
            open.back()->items.push_back(std::move(it));
        } catch (const std::bad_alloc &) {
            releasePkg(child);
            return stop("out of memory");
        }
        try {
            open.push_back(child);
        } catch (const std::bad_alloc &) {
            return stop("out of memory"); // the parent holds the child and frees it with the rest
        }
        return true;
    }
    bool end() {
        if (open.empty()) return false;
        open.pop_back();
        return true;
    }

    bool Null() { return add(Item()); }
    bool Bool(bool b) {
        Item it;
        it.type = VSTYPE_BOOL;
        it.i = b ? 1 : 0;
        return add(std::move(it));
    }
    bool integer(int64_t v) {
        Item it;
        it.type = (v >= INT32_MIN && v <= INT32_MAX) ? VSTYPE_INT32 : VSTYPE_INT64;
        it.i = v;
        return add(std::move(it));
    }
    bool Int(int v) { return integer(v); }
    bool Uint(unsigned v) { return integer(static_cast<int64_t>(v)); }
    bool Int64(int64_t v) { return integer(v); }
    bool Uint64(uint64_t v) {
        if (v <= static_cast<uint64_t>(INT64_MAX)) return integer(static_cast<int64_t>(v));
        return Double(static_cast<double>(v));
    }
    bool Double(double d) {
        // Digits just above the largest double round to infinity: refused
        // like any number out of range.
        if (!std::isfinite(d)) return stop("A number is out of the range of a double.");
        Item it;
        it.type = VSTYPE_DOUBLE;
        it.d = d;
        return add(std::move(it));
    }
    bool String(const char *s, rapidjson::SizeType len, bool) {
        Item it;
        it.type = VSTYPE_STRING;
        try {
            it.bytes.assign(s, len);
        } catch (const std::bad_alloc &) {
            return stop("out of memory");
        }
        return add(std::move(it));
    }
    bool Key(const char *s, rapidjson::SizeType len, bool copy) { return String(s, len, copy); }
    bool StartObject() { return start(true); }
    bool EndObject(rapidjson::SizeType) { return end(); }
    bool StartArray() { return start(false); }
    bool EndArray(rapidjson::SizeType) { return end(); }
};

} // namespace

VS_CHAR *writeJson(ParaPkg *root, bool valueText) {
    try {
        rapidjson::StringBuffer sb;
        JsonWriter w(sb);
        struct Frame {
            ParaPkg *p;
            size_t k;
        };
        std::vector<Frame> st;
        auto openPkg = [&](ParaPkg *p) {
            if (p->dict)
                w.StartObject();
            else
                w.StartArray();
            st.push_back({p, 0});
        };
        openPkg(root);
        while (!st.empty()) {
            ParaPkg *p = st.back().p;
            size_t k = st.back().k;
            if (k >= p->items.size()) {
                if (p->dict)
                    w.EndObject();
                else
                    w.EndArray();
                st.pop_back();
                continue;
            }
            const Item &it = p->items[k];
            if (p->dict && k % 2 == 0) {
                if (it.type == VSTYPE_STRING) {
                    w.Key(it.bytes.data(), static_cast<rapidjson::SizeType>(it.bytes.size()));
                } else {
                    if (!valueText) return nullptr;
                    std::string key = keyText(it);
                    w.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
                }
                st.back().k = k + 1;
                if (k + 1 >= p->items.size()) w.Null(); // a key without its value
                continue;
            }
            st.back().k = k + 1;
            if (it.type == VSTYPE_PARAPKG && it.pkg) {
                openPkg(it.pkg);
                continue;
            }
            if (it.type == VSTYPE_PARAPKG) {
                w.Null();
                continue;
            }
            if (!writeScalar(w, it, valueText)) return nullptr;
        }
        size_t n = sb.GetSize();
        VS_CHAR *out = static_cast<VS_CHAR *>(malloc(n + 1));
        if (!out) return nullptr;
        memcpy(out, sb.GetString(), n);
        out[n] = 0;
        return out;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

bool readJson(ParaPkg *p, const char *text, std::string *why) {
    // The text may belong to p itself (one of its string items, or one of a
    // nested package): read it completely into a fresh package first, and
    // only then let the old items go.
    ParaPkg *fresh = (text != nullptr) ? new (std::nothrow) ParaPkg() : nullptr;
    bool ok = false;
    std::string reason;
    if (text == nullptr)
        reason = "no text";
    else if (fresh == nullptr)
        reason = "out of memory";
    if (fresh != nullptr) {
        try {
            Builder b(fresh);
            rapidjson::Reader reader;
            rapidjson::StringStream ss(text);
            rapidjson::ParseResult r =
                reader.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseFullPrecisionFlag>(ss, b);
            ok = !r.IsError() && b.open.empty();
            fresh->dict = b.rootDict;
            if (!ok) {
                // The offset counts bytes from the start of the text, where
                // the reader stopped.
                const char *cause = b.why != nullptr && r.Code() == rapidjson::kParseErrorTermination ? b.why
                                    : r.IsError() ? rapidjson::GetParseError_En(r.Code())
                                                  : "An array or object is not closed.";
                char head[64];
                snprintf(head, sizeof head, "invalid JSON at offset %zu: ", static_cast<size_t>(r.Offset()));
                reason = std::string(head) + cause;
            }
        } catch (const std::bad_alloc &) {
            ok = false;
            reason = "out of memory";
        }
    }
    if (!ok) {
        p->dropItems(); // on error the package is left empty, its mark unchanged
        if (fresh) releasePkg(fresh);
        if (why != nullptr) why->swap(reason);
        return false;
    }
    p->items.swap(fresh->items); // fresh now holds the old items and frees them
    p->idsChanged();
    p->dict = fresh->dict;
    releasePkg(fresh);
    return true;
}

} // namespace pkg
} // namespace tvh
