#include "ipc/messages/ISerializable.h"

#include <cstring>

std::unique_ptr<BYTE[]> ISerializable::SerializeToBuffer(DWORD& length) const {
    const std::string bytes = Serialize();
    length = static_cast<DWORD>(bytes.size());
    if (bytes.empty()) {
        return nullptr;
    }
    std::unique_ptr<BYTE[]> buffer(new BYTE[bytes.size()]);
    std::memcpy(buffer.get(), bytes.data(), bytes.size());
    return buffer;
}
