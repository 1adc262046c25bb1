// Fixture for tests that link the module to reach its internal functions:
// a started host with the module loaded and both locks held, and small
// helpers over the host's interface.
#ifndef TRELK_TESTS_MODULE_DATA_FIXTURE_H
#define TRELK_TESTS_MODULE_DATA_FIXTURE_H

#include "quel_trelk.h"
#include "tarvex_host.h"

#include <gtest/gtest.h>

#include <string>

class ModuleDataFixture : public ::testing::Test {
  protected:
    ClassOfXRQInterface *X = nullptr;

    explicit ModuleDataFixture(const char *ChunkName) : ChunkName(ChunkName) {}

    void SetUp() override {
        ASSERT_TRUE(tvh::start());
        std::string Error;
        ASSERT_TRUE(tvh::loadModule(TRELK_MODULE_PATH, &Error)) << Error;
        tvh::errors(true);
        tvh::lockBoth();
        X = QZObject_XRQInterface;
        ASSERT_NE(X, nullptr);
    }
    void TearDown() override {
        tvh::unlockBoth();
        tvh::unloadModule();
        tvh::stop();
    }
    void Run(const std::string &Code) {
        std::string Error;
        ASSERT_TRUE(tvh::runChunk(Code.c_str(), ChunkName, &Error)) << Error;
    }
    void *Named(const char *Name) {
        void *Object = X->GetObjectEx(nullptr, Name);
        EXPECT_NE(Object, nullptr) << Name;
        return Object;
    }
    void *NewOf(void *Class) { return X->MallocObjectL(X->GetIDEx(Class), 0, nullptr); }

  private:
    const char *ChunkName;
};

#endif
