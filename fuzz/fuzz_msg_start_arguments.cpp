// MsgStartArguments: decode, text form, then encode what decoded and decode
// it again; the second record must equal the first.
#include "FuzzCheck.h"
#include "ipc/messages/MsgStartArguments.h"

FUZZ_QUIET_LOG()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MsgStartArguments first;
    first.Deserialize(FuzzInput(data, size));
    (void)first.ToString();
    (void)first.IsSet();

    const std::string encoded = first.Serialize();
    MsgStartArguments second;
    FUZZ_CHECK(second.Deserialize(encoded));
    FUZZ_CHECK(second.GetModule() == first.GetModule());
    FUZZ_CHECK(second.GetParam() == first.GetParam());
    FUZZ_CHECK(second.GetOpt() == first.GetOpt());
    FUZZ_CHECK(second.GetHWnd() == first.GetHWnd());
    FUZZ_CHECK(second.GetChkCert() == first.GetChkCert());
    FUZZ_CHECK(second.GetId() == first.GetId());
    FUZZ_CHECK(second.GetRequest() == first.GetRequest());
    FUZZ_CHECK(second.Serialize() == encoded);
    FUZZ_CHECK(second.ToString() == first.ToString());
    return 0;
}
