// Module start as the host does it: signature check, private copy, reopen
// and tamper check, load, the module's Start. Measured on the echo module
// padded to 1 MB, signed with the check on and unsigned with the check off.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "TestPki.h"
#include "clib/os/modules/Module.h"
#include "log/Log.h"
#include "support/TestSupport.h"

namespace {

constexpr size_t kModuleSize = 1024 * 1024;

// Writes the echo module padded with zeros to kModuleSize (the loader ignores
// bytes past the sections).
bool PlacePaddedEcho(const std::string& target) {
    std::ifstream in(std::string(ZR_MODULES_DIR) + "/echo.kvl", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty() || bytes.size() > kModuleSize) return false;
    bytes.resize(kModuleSize, '\0');
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

void RunStarts(benchmark::State& state, const wchar_t* module, bool check) {
    for (auto _ : state) {
        clib::os::modules::Module runner;
        runner.SetCheckCertificate(check);
        if (!runner.Start(module, 0, "")) {
            state.SkipWithError(("start failed: " + std::to_string(runner.GetLastResult())).c_str());
            break;
        }
        state.PauseTiming();
        runner.Stop(1000);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kModuleSize));
}

void BM_ModuleStartSigned(benchmark::State& state) {
    zrtest::ScopedTempDir dir;
    SetLogLevel(LOG_WARNING);
    namespace pki = zrtest::pki;
    const pki::Identity root = pki::MakeRoot("Module Bench Root");
    const pki::Identity signer = pki::MakeSigner(root, {"VORLANDIXPERTHOLME", "", "", ""});
    const std::string roots = dir.File("roots.pem");
    std::string error;
    if (!pki::WriteCertificatesPem({root}, roots) || !PlacePaddedEcho(dir.File("big.kvl")) ||
        !pki::SignFile(dir.File("big.kvl"), signer, {}, false, &error)) {
        state.SkipWithError(("set-up failed: " + error).c_str());
        return;
    }
    setenv("ZRWIN_TRUST_ROOTS", roots.c_str(), 1);
    RunStarts(state, L"big", true);
    unsetenv("ZRWIN_TRUST_ROOTS");
}
BENCHMARK(BM_ModuleStartSigned)->Unit(benchmark::kMillisecond);

void BM_ModuleStartUnsignedNoCheck(benchmark::State& state) {
    zrtest::ScopedTempDir dir;
    SetLogLevel(LOG_WARNING);
    if (!PlacePaddedEcho(dir.File("big.kvl"))) {
        state.SkipWithError("set-up failed");
        return;
    }
    RunStarts(state, L"big", false);
}
BENCHMARK(BM_ModuleStartUnsignedNoCheck)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
