// The body of MStartModuleExec: four 32-bit words, returned to the parent
// with the start result filled in.
#pragma once

#include <cstdint>
#include <string>

#include "ipc/messages/ISerializable.h"

class SerialStream;

class MsgStartExec : public ISerializable {
public:
    static constexpr size_t kSize = 16;

    MsgStartExec() = default;
    MsgStartExec(const MsgStartExec&) = default;
    MsgStartExec& operator=(const MsgStartExec&) = default;
    ~MsgStartExec() = default;

    std::string Serialize() const override;
    // Inputs shorter than 16 bytes are logged and refused without touching
    // any field; longer ones are read but give false.
    bool Deserialize(const std::string& input) override;

    // Returned to the parent as received.
    int32_t word0 = 0;
    int32_t word1 = -1;
    // 0 when the module started, otherwise the module runner's result code.
    int32_t result = 0;
    // The system's last-error code when the start failed.
    int32_t error = 0;

private:
    void Fields(SerialStream& stream);
};
