// UUID text, MD5 and hash values, error reports.
#include "core_state.h"

#include <openssl/evp.h>

#include <cctype>
#include <cstdio>
#include <iostream>

namespace tvh {

void formatUuid(const VS_UUID *u, char out[37]) {
    static const VS_UUID zero{};
    if (!u) u = &zero;
    std::snprintf(out, 37, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", unsigned(u->Data1),
                  unsigned(u->Data2), unsigned(u->Data3), u->Data4[0], u->Data4[1], u->Data4[2], u->Data4[3],
                  u->Data4[4], u->Data4[5], u->Data4[6], u->Data4[7]);
}

static int hexVal(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parseUuid(const char *text, VS_UUID *out) {
    if (!text || !out) return false;
    std::string t(text);
    if (t.size() == 38 && t.front() == '{' && t.back() == '}') t = t.substr(1, 36);
    if (t.size() != 36) return false;
    uint8_t bytes[16];
    int n = 0;
    for (size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (t[i] != '-') return false;
            ++i;
            continue;
        }
        int hi = hexVal(t[i]), lo = hexVal(t[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes[n++] = uint8_t(hi * 16 + lo);
        i += 2;
    }
    VS_UUID u{};
    u.Data1 = (VS_ULONG(bytes[0]) << 24) | (VS_ULONG(bytes[1]) << 16) | (VS_ULONG(bytes[2]) << 8) | bytes[3];
    u.Data2 = VS_UINT16((bytes[4] << 8) | bytes[5]);
    u.Data3 = VS_UINT16((bytes[6] << 8) | bytes[7]);
    std::memcpy(u.Data4, bytes + 8, 8);
    *out = u;
    return true;
}

char *uuidText(const VS_UUID *u) {
    static thread_local char ring[8][40];
    static thread_local int next = 0;
    char *buf = ring[next];
    next = (next + 1) % 8;
    formatUuid(u, buf);
    return buf;
}

char *md5Text(const VS_INT8 *buf, VS_INT32 length) {
    static thread_local char out[33];
    if (length < 0 || (!buf && length > 0)) return nullptr;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    static const char empty = 0;
    if (!EVP_Digest(buf ? static_cast<const void *>(buf) : &empty, size_t(length), digest, &len, EVP_md5(),
                    nullptr) ||
        len != 16)
        return nullptr;
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 15];
    }
    out[32] = 0;
    return out;
}

VS_ULONG fnv1a(const void *buf, VS_INT32 length, VS_ULONG seed) {
    VS_ULONG h = 2166136261u ^ seed;
    if (!buf || length <= 0) return h;
    const uint8_t *p = static_cast<const uint8_t *>(buf);
    for (VS_INT32 i = 0; i < length; ++i) {
        h ^= p[i];
        h *= 16777619u;
    }
    return h;
}

// ---------------------------------------------------------------------------
// Error log
// ---------------------------------------------------------------------------
static std::mutex &logMutex() {
    static std::mutex *m = new std::mutex();
    return *m;
}
static std::vector<ErrorReport> &logStore() {
    static std::vector<ErrorReport> *v = new std::vector<ErrorReport>();
    return *v;
}

void recordError(int level, const char *source, int line, const char *text) {
    ErrorReport r;
    r.level = level;
    r.source = source ? source : "";
    r.line = line;
    r.text = text ? text : "";
    // The printed line also says where the script stood; the stored report stays as given.
    ScriptEngine *engine = core().opts.verbose ? scriptEngine() : nullptr;
    std::string where = engine ? engine->scriptWhere() : std::string();
    std::lock_guard<std::mutex> lk(logMutex());
    if (core().opts.verbose)
        std::fprintf(stderr, "[%d] %s:%d: %s%s%s%s\n", r.level, r.source.c_str(), r.line, r.text.c_str(),
                     where.empty() ? "" : " (at ", where.c_str(), where.empty() ? "" : ")");
    logStore().push_back(std::move(r));
}

std::vector<ErrorReport> takeErrors(bool clear) {
    std::lock_guard<std::mutex> lk(logMutex());
    std::vector<ErrorReport> out = logStore();
    if (clear) logStore().clear();
    return out;
}

void reportException(const char *text) {
    std::string t = text ? text : "";
    VS_EXCEPTHANDLER h = core().exceptHandler;
    if (h && !core().noModuleCalls) {
        std::vector<char> copy(t.begin(), t.end());
        copy.push_back(0);
        h(copy.data());
    } else {
        std::fprintf(stderr, "%s\n", t.c_str());
    }
}

std::string vformat(const char *fmt, va_list ap) {
    if (!fmt) return std::string();
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, ap2);
    va_end(ap2);
    if (n < 0) return std::string(fmt);
    std::string out(size_t(n) + 1, '\0');
    std::vsnprintf(&out[0], out.size(), fmt, ap);
    out.resize(size_t(n));
    return out;
}

} // namespace tvh
