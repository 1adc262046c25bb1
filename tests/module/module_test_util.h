// Shared set-up of the tests that link the module to reach its globals and
// internal functions: a fresh stand-in host per test, with the module loaded
// the way the runner loads it.
#ifndef TRELK_MODULE_TEST_UTIL_H
#define TRELK_MODULE_TEST_UTIL_H

#include "quel_trelk.h"
#include "tarvex_host.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace trelktest {

inline std::vector<tvh::ErrorReport> ErrorsWithText(const std::string &Needle, bool Clear = false) {
    std::vector<tvh::ErrorReport> Found;
    for (const tvh::ErrorReport &Report : tvh::errors(Clear)) {
        if (Report.text.find(Needle) != std::string::npos)
            Found.push_back(Report);
    }
    return Found;
}

inline std::string ErrorLog() {
    std::string Text;
    for (const tvh::ErrorReport &Report : tvh::errors(false))
        Text += "[" + std::to_string(Report.level) + "|" + Report.source + "|" + std::to_string(Report.line) + "] " +
                Report.text + "\n";
    return Text;
}

// Host started and the module loaded; both locks are held by the test body.
// Chunks run under the name given to the constructor.
class LoadedModule : public ::testing::Test {
  protected:
    explicit LoadedModule(const char *ChunkName = "test") : ChunkName(ChunkName) {}

    void SetUp() override {
        ASSERT_TRUE(tvh::start());
        std::string Error;
        ASSERT_TRUE(tvh::loadModule(TRELK_MODULE_PATH, &Error)) << Error << "\n" << ErrorLog();
        tvh::errors(true);
        tvh::lockBoth();
        XRQ = QZObject_XRQInterface;
        ASSERT_NE(XRQ, nullptr);
    }
    void TearDown() override {
        tvh::unlockBoth();
        tvh::unloadModule();
        tvh::stop();
    }
    // Runs a chunk (the locks are re-entered by the driver).
    void Run(const std::string &Code, const char *Name = nullptr) {
        std::string Error;
        ASSERT_TRUE(tvh::runChunk(Code.c_str(), Name != nullptr ? Name : ChunkName, &Error)) << Error;
    }
    // The object of that name; a test failure when there is none.
    void *Named(const char *Name) {
        void *Object = XRQ->GetObjectEx(nullptr, Name);
        EXPECT_NE(Object, nullptr) << Name;
        return Object;
    }
    std::string IdText(void *Object) { return XRQ->UuidToString(XRQ->GetIDEx(Object)); }
    void *NewObject(void *Class) {
        void *Object = XRQ->MallocObjectL(XRQ->GetIDEx(Class), 0, nullptr);
        return Object;
    }

    ClassOfXRQInterface *XRQ = nullptr;

  private:
    const char *ChunkName;
};

} // namespace trelktest

#endif
