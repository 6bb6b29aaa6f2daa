// The body of MStartModuleArgs and the host's stored start arguments.
#pragma once

#include <cstdint>
#include <string>

#include "ipc/messages/ISerializable.h"

class SerialStream;

class MsgStartArguments final : public ISerializable {
public:
    MsgStartArguments() = default;
    MsgStartArguments(const std::wstring& module, const std::string& param, int32_t opt);
    MsgStartArguments(const MsgStartArguments&) = default;
    MsgStartArguments& operator=(const MsgStartArguments&) = default;
    ~MsgStartArguments() = default;

    std::string Serialize() const override;
    // Inputs shorter than 16 bytes are logged and refused without touching
    // any field.
    bool Deserialize(const std::string& input) override;
    std::string ToString() const;

    // True when id and request are 0 or more and the module is named.
    bool IsSet() const;

    const std::wstring& GetModule() const { return module_; }
    const std::string& GetParam() const { return param_; }
    int32_t GetOpt() const { return opt_; }
    uint32_t GetHWnd() const { return hWnd_; }
    bool GetChkCert() const { return chkCert_; }
    int32_t GetId() const { return id_; }
    int32_t GetRequest() const { return request_; }

    void SetChkCert(bool chkCert) { chkCert_ = chkCert; }
    void SetHWnd(uint32_t hWnd) { hWnd_ = hWnd; }
    void SetRequest(int32_t request) { request_ = request; }

private:
    // The one field list of both directions.
    void Fields(SerialStream& stream);

    std::wstring module_;
    std::string param_;
    int32_t opt_ = 0;
    uint32_t hWnd_ = 0;
    bool chkCert_ = false;
    int32_t id_ = 0;
    int32_t request_ = 0;
};
