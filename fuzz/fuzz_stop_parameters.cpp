// StopParametersMultiProcess: validity and text form over the received bytes
// (never past them), then the fields encoded into a new body must view the
// same; the stop result written into a copy must read back.
#include <vector>

#include "FuzzCheck.h"
#include "ipc/messages/StartParametersMultiProcess.h"

FUZZ_QUIET_LOG()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const StopParametersMultiProcess first(static_cast<const void*>(data), size);
    const bool valid = first.IsValid();
    const std::string text = first.ToString();
    FUZZ_CHECK(text.size() < 128);
    if (!first.IsComplete()) {
        FUZZ_CHECK(!valid);
        return 0;
    }

    StopParametersMultiProcess::Fields fields;
    fields.module = first.GetModule();
    fields.timeout = first.GetTimeout();
    fields.isModule = first.GetIsModule();
    fields.request = first.GetRequest();
    const std::string encoded = StopParametersMultiProcess::Encode(fields);
    FUZZ_CHECK(encoded.size() == StopParametersMultiProcess::kSize);

    const StopParametersMultiProcess second(static_cast<const void*>(encoded.data()), encoded.size());
    FUZZ_CHECK(second.GetModule() == fields.module);
    FUZZ_CHECK(second.GetTimeout() == fields.timeout);
    FUZZ_CHECK(second.GetIsModule() == fields.isModule);
    FUZZ_CHECK(second.GetRequest() == fields.request);
    FUZZ_CHECK(second.IsValid() == valid);
    FUZZ_CHECK(second.ToString() == text);

    std::vector<unsigned char> copy(data, data + size);
    StopParametersMultiProcess writable(static_cast<void*>(copy.data()), copy.size());
    FUZZ_CHECK(writable.SetIsModule(static_cast<uint8_t>(fields.isModule ^ 1)));
    FUZZ_CHECK(writable.GetIsModule() == static_cast<uint8_t>(fields.isModule ^ 1));
    return 0;
}
