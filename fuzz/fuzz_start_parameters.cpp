// StartParametersMultiProcess: validity and text form over the received
// bytes (never past them), then the fields encoded into a new body must view
// the same; the start result written into a copy must read back.
#include <vector>

#include "FuzzCheck.h"
#include "ipc/messages/StartParametersMultiProcess.h"

FUZZ_QUIET_LOG()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const StartParametersMultiProcess first(static_cast<const void*>(data), size);
    const bool valid = first.IsValid();
    const std::string text = first.ToString();
    FUZZ_CHECK(!valid || first.IsComplete());
    if (!first.IsComplete()) {
        return 0;
    }

    StartParametersMultiProcess::Fields fields;
    fields.module = first.GetModule();
    fields.param = first.GetParam();
    fields.opt = first.GetOpt();
    fields.hWnd = first.GetHWnd();
    fields.repl = first.GetRepl();
    fields.chkCert = first.GetChkCert();
    fields.id = first.GetId();
    fields.request = first.GetRequest();
    fields.type = first.GetType();
    FUZZ_CHECK(fields.module.size() <= StartParametersMultiProcess::kModuleSize);
    FUZZ_CHECK(fields.param.size() <= StartParametersMultiProcess::kParamSize);
    FUZZ_CHECK(first.GetParamField().compare(0, fields.param.size(), fields.param) == 0);
    const std::string encoded = StartParametersMultiProcess::Encode(fields);
    FUZZ_CHECK(encoded.size() == StartParametersMultiProcess::kSize);

    const StartParametersMultiProcess second(static_cast<const void*>(encoded.data()), encoded.size());
    FUZZ_CHECK(second.GetModule() == fields.module);
    FUZZ_CHECK(second.GetParam() == fields.param);
    FUZZ_CHECK(second.GetOpt() == fields.opt);
    FUZZ_CHECK(second.GetHWnd() == fields.hWnd);
    FUZZ_CHECK(second.GetRepl() == fields.repl);
    FUZZ_CHECK(second.GetChkCert() == fields.chkCert);
    FUZZ_CHECK(second.GetId() == fields.id);
    FUZZ_CHECK(second.GetRequest() == fields.request);
    FUZZ_CHECK(second.GetType() == fields.type);
    FUZZ_CHECK(second.IsValid() == valid);
    FUZZ_CHECK(second.ToString() == text);

    std::vector<unsigned char> copy(data, data + size);
    StartParametersMultiProcess writable(static_cast<void*>(copy.data()), copy.size());
    FUZZ_CHECK(writable.SetId(~fields.id));
    FUZZ_CHECK(writable.GetId() == ~fields.id);
    FUZZ_CHECK(writable.GetRequest() == fields.request);
    return 0;
}
