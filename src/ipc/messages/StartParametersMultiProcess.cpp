#include "ipc/messages/StartParametersMultiProcess.h"

#include <cstring>

#include "ipc/messages/ByteOrder.h"
#include "ipc/messages/TextForm.h"

namespace {

void PutText(std::string& body, size_t offset, size_t size, const std::string& text) {
    const size_t count = text.size() < size ? text.size() : size;
    std::memcpy(body.data() + offset, text.data(), count);
}

void PutWord(std::string& body, size_t offset, uint32_t value) {
    zrmessages::WriteUInt32LE(reinterpret_cast<unsigned char*>(body.data() + offset), value);
}

}  // namespace

// ---- Start body.

StartParametersMultiProcess::StartParametersMultiProcess(void* body, size_t length)
    : data_(static_cast<const unsigned char*>(body)),
      writable_(static_cast<unsigned char*>(body)),
      length_(body ? length : 0) {}

StartParametersMultiProcess::StartParametersMultiProcess(const void* body, size_t length)
    : data_(static_cast<const unsigned char*>(body)), writable_(nullptr), length_(body ? length : 0) {}

std::string StartParametersMultiProcess::Text(size_t offset, size_t size) const {
    if (!IsComplete()) {
        return std::string();
    }
    // A missing NUL never runs the text into the next field.
    const char* begin = reinterpret_cast<const char*>(data_ + offset);
    const void* nul = std::memchr(begin, 0, size);
    const size_t count = nul ? static_cast<size_t>(static_cast<const char*>(nul) - begin) : size;
    return std::string(begin, count);
}

uint32_t StartParametersMultiProcess::Word(size_t offset) const {
    return IsComplete() ? zrmessages::ReadUInt32LE(data_ + offset) : 0;
}

std::string StartParametersMultiProcess::GetModule() const { return Text(kModuleOffset, kModuleSize); }
std::string StartParametersMultiProcess::GetParam() const { return Text(kParamOffset, kParamSize); }
std::string StartParametersMultiProcess::GetParamField() const {
    return IsComplete() ? std::string(reinterpret_cast<const char*>(data_ + kParamOffset), kParamSize) : std::string();
}
int32_t StartParametersMultiProcess::GetOpt() const { return static_cast<int32_t>(Word(kOptOffset)); }
uint32_t StartParametersMultiProcess::GetHWnd() const { return Word(kHWndOffset); }
bool StartParametersMultiProcess::GetRepl() const { return IsComplete() && data_[kReplOffset] != 0; }
bool StartParametersMultiProcess::GetChkCert() const { return IsComplete() && data_[kChkCertOffset] != 0; }
int32_t StartParametersMultiProcess::GetId() const { return static_cast<int32_t>(Word(kIdOffset)); }
int32_t StartParametersMultiProcess::GetRequest() const { return static_cast<int32_t>(Word(kRequestOffset)); }
int32_t StartParametersMultiProcess::GetType() const { return static_cast<int32_t>(Word(kTypeOffset)); }

bool StartParametersMultiProcess::IsValid() const {
    return IsComplete() && GetId() >= 0 && GetRequest() >= 0 && data_[kModuleOffset] != 0;
}

bool StartParametersMultiProcess::SetId(int32_t id) {
    if (!writable_ || !IsComplete()) {
        return false;
    }
    zrmessages::WriteUInt32LE(writable_ + kIdOffset, static_cast<uint32_t>(id));
    return true;
}

std::string StartParametersMultiProcess::ToString() const {
    if (!IsComplete()) {
        return zrmessages::FormatText("{START size:%u, incomplete}", static_cast<unsigned>(length_));
    }
    std::string text = zrmessages::FormatText(
        "{START request:%d, hWnd:%08X, chkCert:%x, repl:%x, opt:%x, id:%x, module:'", static_cast<int>(GetRequest()),
        static_cast<unsigned>(GetHWnd()), GetChkCert() ? 1u : 0u, GetRepl() ? 1u : 0u,
        static_cast<unsigned>(GetOpt()), static_cast<unsigned>(GetId()));
    text += GetModule();
    text += "', param:'";
    text += GetParam();
    text += zrmessages::FormatText("', type:%x}", static_cast<unsigned>(GetType()));
    return text;
}

std::string StartParametersMultiProcess::Encode(const Fields& fields) {
    std::string body(kSize, '\0');
    PutText(body, kModuleOffset, kModuleSize, fields.module);
    PutText(body, kParamOffset, kParamSize, fields.param);
    PutWord(body, kOptOffset, static_cast<uint32_t>(fields.opt));
    PutWord(body, kHWndOffset, fields.hWnd);
    body[kReplOffset] = fields.repl ? 1 : 0;
    body[kChkCertOffset] = fields.chkCert ? 1 : 0;
    PutWord(body, kIdOffset, static_cast<uint32_t>(fields.id));
    PutWord(body, kRequestOffset, static_cast<uint32_t>(fields.request));
    PutWord(body, kTypeOffset, static_cast<uint32_t>(fields.type));
    return body;
}

// ---- Stop body.

StopParametersMultiProcess::StopParametersMultiProcess(void* body, size_t length)
    : data_(static_cast<const unsigned char*>(body)),
      writable_(static_cast<unsigned char*>(body)),
      length_(body ? length : 0) {}

StopParametersMultiProcess::StopParametersMultiProcess(const void* body, size_t length)
    : data_(static_cast<const unsigned char*>(body)), writable_(nullptr), length_(body ? length : 0) {}

uint32_t StopParametersMultiProcess::Word(size_t offset) const {
    return IsComplete() ? zrmessages::ReadUInt32LE(data_ + offset) : 0;
}

int32_t StopParametersMultiProcess::GetModule() const { return static_cast<int32_t>(Word(kModuleOffset)); }
int32_t StopParametersMultiProcess::GetTimeout() const { return static_cast<int32_t>(Word(kTimeoutOffset)); }
uint8_t StopParametersMultiProcess::GetIsModule() const { return IsComplete() ? data_[kIsModuleOffset] : 0; }
int32_t StopParametersMultiProcess::GetRequest() const { return static_cast<int32_t>(Word(kRequestOffset)); }

bool StopParametersMultiProcess::IsValid() const {
    return IsComplete() && GetModule() >= 0 && GetRequest() >= 0;
}

bool StopParametersMultiProcess::SetIsModule(uint8_t isModule) {
    if (!writable_ || !IsComplete()) {
        return false;
    }
    writable_[kIsModuleOffset] = isModule;
    return true;
}

std::string StopParametersMultiProcess::ToString() const {
    if (!IsComplete()) {
        return zrmessages::FormatText("{STOP size:%u, incomplete}", static_cast<unsigned>(length_));
    }
    return zrmessages::FormatText("{STOP request:%d, module:%d, isModule:%d, timeout:%d}",
                                  static_cast<int>(GetRequest()), static_cast<int>(GetModule()),
                                  static_cast<int>(GetIsModule()), static_cast<int>(GetTimeout()));
}

std::string StopParametersMultiProcess::Encode(const Fields& fields) {
    std::string body(kSize, '\0');
    PutWord(body, kModuleOffset, static_cast<uint32_t>(fields.module));
    PutWord(body, kTimeoutOffset, static_cast<uint32_t>(fields.timeout));
    body[kIsModuleOffset] = static_cast<char>(fields.isModule);
    PutWord(body, kRequestOffset, static_cast<uint32_t>(fields.request));
    return body;
}
