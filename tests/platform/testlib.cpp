// Loaded by the shared-library tests; never linked.
extern "C" __attribute__((visibility("default"))) int trelk_testlib_answer()
{
    return 42;
}
