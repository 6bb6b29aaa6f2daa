// A library that exists only to carry a version resource.
extern "C" int VersionFixtureAnswer() {
    return 42;
}
