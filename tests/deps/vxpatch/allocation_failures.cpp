// Tests that check how the engine survives failing allocations ask for absurd
// sizes; under the address sanitizer those must come back as null, as they do
// in a normal build, instead of aborting the test.
extern "C" const char* __asan_default_options();
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
