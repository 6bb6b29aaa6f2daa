#include "ipc/messages/MsgStartArguments.h"

#include "ipc/messages/SerialStream.h"
#include "ipc/messages/TextForm.h"
#include "log/Log.h"
#include "util/Conversions.h"

namespace {
constexpr size_t kMinimumSize = 16;
}

MsgStartArguments::MsgStartArguments(const std::wstring& module, const std::string& param, int32_t opt)
    : module_(module), param_(param), opt_(opt) {}

void MsgStartArguments::Fields(SerialStream& stream) {
    // The leading word is reserved: written as 0, ignored when read.
    int32_t reserved = 0;
    stream.Int32(reserved);
    stream.Int32(request_);
    stream.Int32(id_);
    stream.WString(module_);
    stream.String(param_);
    stream.Int32(opt_);
    stream.UInt32(hWnd_);
    stream.Bool(chkCert_);
}

std::string MsgStartArguments::Serialize() const {
    SerialStream stream;
    // The write direction only reads the fields; the copy keeps this const.
    MsgStartArguments copy(*this);
    copy.Fields(stream);
    return stream.Succeeded() ? stream.Bytes() : std::string();
}

bool MsgStartArguments::Deserialize(const std::string& input) {
    if (input.size() < kMinimumSize) {
        Log(LOG_ERROR, "MsgStartArguments::Deserialize: [E] Invalid params, size:%d", static_cast<int>(input.size()));
        return false;
    }
    SerialStream stream(input);
    Fields(stream);
    return stream.Succeeded();
}

bool MsgStartArguments::IsSet() const {
    return id_ >= 0 && request_ >= 0 && !module_.empty();
}

std::string MsgStartArguments::ToString() const {
    const std::string module = Utils_Conversions::Conversion::toString(module_, 65001);
    std::string text = zrmessages::FormatText("{STARTARGS request:%d, hWnd:%08X, chkCert:%x, opt:%x, id:%x, module:'",
                                              static_cast<int>(request_), static_cast<unsigned>(hWnd_),
                                              chkCert_ ? 1u : 0u, static_cast<unsigned>(opt_),
                                              static_cast<unsigned>(id_));
    text += module;
    text += "', param:'";
    text += param_;
    text += "}";
    return text;
}
