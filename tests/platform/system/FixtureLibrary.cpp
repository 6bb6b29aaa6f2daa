// A plain shared library the loader tests open by path.
extern "C" __attribute__((visibility("default"))) int ZrFixtureAnswer() { return 42; }
extern "C" __attribute__((visibility("default"))) int ZrFixtureDouble(int value) { return value * 2; }
