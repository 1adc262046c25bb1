// What scripts cannot set up: performance figures scaled by a start-up
// calibration that measured nothing (or less than nothing).
#include "module_test_util.h"
#include "trelk_realm_api.h"

#include <cmath>
#include <limits>

namespace {

class ServicesInternal : public trelktest::LoadedModule {
  protected:
    ServicesInternal() : LoadedModule("services_internal") {}
};

TEST_F(ServicesInternal, PerformanceFiguresStayFiniteWhateverTheCalibration) {
    auto *Proc = (StructOfQZProcBase *)NewObject(QZProcBaseClass);
    XRQ->SetName(Proc, "perf.Calibrated");
    Trelk_InsertPerformaceData(Proc, 250);
    Trelk_InsertPerformaceData(Proc, 250);
    const VS_DOUBLE Saved = PerformanceBaseCount;
    // Base, expected figure: the sum of 500 microseconds times 1000 over the
    // base, and over 1 for any base below 1.
    const struct {
        VS_DOUBLE Base;
        const char *Expected;
    } Cases[] = {
        {2000.0, "250.0"},
        {0.0, "500000.0"},
        {-40.0, "500000.0"},
        {0.25, "500000.0"},
        {std::numeric_limits<VS_DOUBLE>::quiet_NaN(), "500000.0"},
    };
    for (const auto &Case : Cases) {
        PerformanceBaseCount = Case.Base;
        Run(std::string(R"(
            local item = _New(QZRealmBase):GetPerformanceData(false):_Get(0)
            assert(_Name(item:_Get(0)) == "perf.Calibrated", "the proc type")
            assert(item:_Get(1) == )") + Case.Expected + R"(, "the figure: " .. tostring(item:_Get(1)))
            assert(item:_Get(2) == 2 and item:_Get(3) == 0, "runs and failed runs")
        )");
    }
    PerformanceBaseCount = Saved;
}

} // namespace
