#include "ipc/messages/MsgStartExec.h"

#include "ipc/messages/SerialStream.h"
#include "log/Log.h"

void MsgStartExec::Fields(SerialStream& stream) {
    stream.Int32(word0);
    stream.Int32(word1);
    stream.Int32(result);
    stream.Int32(error);
}

std::string MsgStartExec::Serialize() const {
    SerialStream stream;
    MsgStartExec copy(*this);
    copy.Fields(stream);
    return stream.Succeeded() ? stream.Bytes() : std::string();
}

bool MsgStartExec::Deserialize(const std::string& input) {
    if (input.size() < kSize) {
        Log(LOG_ERROR, "MsgStartExec::Deserialize: [E] Invalid params, size:%d", static_cast<int>(input.size()));
        return false;
    }
    SerialStream stream(input);
    Fields(stream);
    return stream.Succeeded();
}
