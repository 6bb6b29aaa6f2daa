// The body of the window messages the host relays to the parent
// (MWindowMessage) and of the parent's answers: a 16-byte header, then the
// bytes of both message parameters.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ipc/messages/ISerializable.h"

class WindowMessageDataMultiProcess : public ISerializable {
public:
    static constexpr size_t kHeaderSize = 16;

    WindowMessageDataMultiProcess() = default;
    WindowMessageDataMultiProcess(const WindowMessageDataMultiProcess&) = delete;
    WindowMessageDataMultiProcess& operator=(const WindowMessageDataMultiProcess&) = delete;
    ~WindowMessageDataMultiProcess() = default;

    std::string Serialize() const override;
    // Refuses (logged, false, record unchanged) inputs shorter than the header
    // and counts that are negative or claim more bytes than follow it.
    bool Deserialize(const std::string& input) override;
    std::string ToString() const;

    // Replace the buffer by a zero-filled one of `count` bytes (an empty one
    // for 0) holding a copy of `bytes` when given. A count that cannot be
    // allocated is logged and leaves no buffer and a count of 0.
    void SetWParam(const void* bytes, int32_t count);
    void SetLParam(const void* bytes, int32_t count);

    const BYTE* GetWParam() const { return wParam_.get(); }
    const BYTE* GetLParam() const { return lParam_.get(); }
    int32_t GetLenWParam() const { return iLenWParam_; }
    int32_t GetLenLParam() const { return iLenLParam_; }

    uint32_t uMsg = 0;
    // Set by the endpoint when it sends the record.
    int32_t iRequestId = 0;

private:
    std::unique_ptr<BYTE[]> wParam_;
    std::unique_ptr<BYTE[]> lParam_;
    int32_t iLenWParam_ = 0;
    int32_t iLenLParam_ = 0;
};
