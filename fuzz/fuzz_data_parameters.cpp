// DataParametersMultiProcess: decode (refusing counts the input cannot back),
// text form, parameter text; encode what decoded and decode it again.
#include <cstring>

#include "FuzzCheck.h"
#include "ipc/messages/DataParametersMultiProcess.h"

FUZZ_QUIET_LOG()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input = FuzzInput(data, size);
    DataParametersMultiProcess first;
    if (!first.Deserialize(input)) {
        // A refused body leaves the new record as it was.
        FUZZ_CHECK(first.GetBuffer() == nullptr && first.GetLength() == 0 && first.request == 0);
        return 0;
    }
    (void)first.ToString();

    const std::string encoded = first.Serialize();
    FUZZ_CHECK(encoded.size() == DataParametersMultiProcess::kHeaderSize + static_cast<size_t>(first.GetLength()));
    FUZZ_CHECK(encoded == input.substr(0, encoded.size()));

    DataParametersMultiProcess second;
    FUZZ_CHECK(second.Deserialize(encoded));
    FUZZ_CHECK(second.request == first.request);
    FUZZ_CHECK(second.module == first.module);
    FUZZ_CHECK(second.option == first.option);
    FUZZ_CHECK(second.GetLength() == first.GetLength());
    FUZZ_CHECK(first.GetLength() == 0 ||
               std::memcmp(second.GetBuffer(), first.GetBuffer(), static_cast<size_t>(first.GetLength())) == 0);
    FUZZ_CHECK(second.ToString() == first.ToString());

    // The parameter as text and back gives its whole UTF-16 units unchanged.
    std::wstring text;
    FUZZ_CHECK(first.GetParam(text) == (first.GetBuffer() != nullptr));
    DataParametersMultiProcess fromText;
    fromText.SetParam(text);
    const size_t units = static_cast<size_t>(first.GetLength() / 2) * 2;
    FUZZ_CHECK(static_cast<size_t>(fromText.GetLength()) == units);
    FUZZ_CHECK(units == 0 || std::memcmp(fromText.GetBuffer(), first.GetBuffer(), units) == 0);
    return 0;
}
