// Placeholder for a subsystem that has no sources yet.
namespace { [[maybe_unused]] int zr_empty_translation_unit; }
