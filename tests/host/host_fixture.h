// Shared fixture: a fresh host per test, both locks held by the test thread.
#ifndef TESTS_HOST_FIXTURE_H
#define TESTS_HOST_FIXTURE_H

#include "host_internal.h"
#include "tarvex_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include <string>
#include <vector>

namespace hosttest {

inline VS_UUID uuid(const char *text) {
    VS_UUID u{};
    EXPECT_TRUE(tvh::service()->StringToUuid(text, &u)) << text;
    return u;
}

inline std::vector<std::string> &exceptTexts() {
    static std::vector<std::string> v;
    return v;
}
inline void captureExcept(VS_CHAR *text) { exceptTexts().push_back(text ? text : ""); }

class HostTest : public ::testing::Test {
  protected:
    ClassOfXRQInterface *s = nullptr;

    void SetUp() override { startHost(tvh::HostOptions()); }
    void TearDown() override {
        tvh::unlockBoth();
        tvh::stop();
    }
    void startHost(const tvh::HostOptions &o) {
        ASSERT_TRUE(tvh::start(o));
        tvh::lockBoth();
        s = tvh::service();
        exceptTexts().clear();
        s->SetExceptHandler(captureExcept);
        s->CreateSysRootItem("test_root", nullptr, nullptr, nullptr);
    }
    void restartHost(const tvh::HostOptions &o) {
        tvh::unlockBoth();
        tvh::stop();
        startHost(o);
    }
    void *root() { return s->GetSysRootItem("test_root"); }

    // Registers a class from template text; NULL on failure.
    void *defineClass(const std::string &xml, const char *id, VS_SYSEVENTPTR handler = nullptr) {
        ClassOfXRQSXMLInterface *x = s->GetSXMLInterface();
        x->LoadFromBuf(xml.c_str(), 0);
        VS_UUID u{};
        VS_UUID *pu = nullptr;
        if (id) {
            u = uuid(id);
            pu = &u;
        }
        void *c = s->XmlToObjectEx(x, root(), pu, handler, 0);
        x->Release();
        return c;
    }
    void *newObject(void *from) {
        VS_UUID id = s->GetID(from);
        return s->MallocObjectL(&id, 0, nullptr);
    }
    long long stat(long long tvh::HostStats::*f) { return tvh::stats().*f; }
    tvh::HostObject *desc(void *o) { return tvh::lookup(o); }
};

// Template text: <object><Name ID="..." [Class="Parent"]><attribute>..</attribute><function>..</function></Name></object>
inline std::string classXml(const std::string &name, const std::string &id, const std::string &attrs,
                            const std::string &parent = "", const std::string &funcs = "") {
    std::string t = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<object>\n<" + name + " ID=\"" + id + "\"";
    if (!parent.empty()) t += " Class=\"" + parent + "\"";
    t += ">\n<attribute>\n" + attrs + "</attribute>\n";
    if (!funcs.empty()) t += "<function>\n" + funcs + "</function>\n";
    t += "</" + name + ">\n</object>\n";
    return t;
}

} // namespace hosttest

#endif
