// WindowMessageDataMultiProcess: decode (refusing counts the input cannot
// back), text form; encode what decoded and decode it again.
#include <cstring>

#include "FuzzCheck.h"
#include "ipc/messages/WindowMessageDataMultiProcess.h"

FUZZ_QUIET_LOG()

namespace {

bool SameBytes(const BYTE* a, const BYTE* b, int32_t count) {
    return count == 0 || std::memcmp(a, b, static_cast<size_t>(count)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input = FuzzInput(data, size);
    WindowMessageDataMultiProcess first;
    if (!first.Deserialize(input)) {
        FUZZ_CHECK(first.GetWParam() == nullptr && first.GetLParam() == nullptr && first.uMsg == 0);
        return 0;
    }
    (void)first.ToString();

    const std::string encoded = first.Serialize();
    const size_t expected = WindowMessageDataMultiProcess::kHeaderSize +
                            static_cast<size_t>(first.GetLenWParam()) + static_cast<size_t>(first.GetLenLParam());
    FUZZ_CHECK(encoded.size() == expected);
    FUZZ_CHECK(encoded == input.substr(0, expected));

    WindowMessageDataMultiProcess second;
    FUZZ_CHECK(second.Deserialize(encoded));
    FUZZ_CHECK(second.iRequestId == first.iRequestId);
    FUZZ_CHECK(second.uMsg == first.uMsg);
    FUZZ_CHECK(second.GetLenWParam() == first.GetLenWParam());
    FUZZ_CHECK(second.GetLenLParam() == first.GetLenLParam());
    FUZZ_CHECK(SameBytes(second.GetWParam(), first.GetWParam(), first.GetLenWParam()));
    FUZZ_CHECK(SameBytes(second.GetLParam(), first.GetLParam(), first.GetLenLParam()));
    return 0;
}
