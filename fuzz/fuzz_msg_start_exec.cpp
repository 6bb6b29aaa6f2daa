// MsgStartExec: decode, encode what decoded, decode again.
#include "FuzzCheck.h"
#include "ipc/messages/MsgStartExec.h"

FUZZ_QUIET_LOG()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input = FuzzInput(data, size);
    MsgStartExec first;
    const bool decoded = first.Deserialize(input);
    FUZZ_CHECK(decoded == (size == MsgStartExec::kSize));

    const std::string encoded = first.Serialize();
    FUZZ_CHECK(encoded.size() == MsgStartExec::kSize);
    if (decoded) {
        FUZZ_CHECK(encoded == input);
    }
    MsgStartExec second;
    FUZZ_CHECK(second.Deserialize(encoded));
    FUZZ_CHECK(second.word0 == first.word0);
    FUZZ_CHECK(second.word1 == first.word1);
    FUZZ_CHECK(second.result == first.result);
    FUZZ_CHECK(second.error == first.error);
    return 0;
}
