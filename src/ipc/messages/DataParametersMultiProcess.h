// The body of the parent's data requests (MModuleData, MModuleData2) and of
// the host's answers: a 16-byte header, then the parameter bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ipc/messages/ISerializable.h"

class DataParametersMultiProcess : public ISerializable {
public:
    static constexpr size_t kHeaderSize = 16;

    DataParametersMultiProcess() = default;
    DataParametersMultiProcess(const DataParametersMultiProcess& other);
    DataParametersMultiProcess& operator=(const DataParametersMultiProcess& other);
    DataParametersMultiProcess(DataParametersMultiProcess&& other) noexcept;
    DataParametersMultiProcess& operator=(DataParametersMultiProcess&& other) noexcept;
    ~DataParametersMultiProcess() = default;

    std::string Serialize() const override;
    // Refuses (logged, false, record unchanged) inputs shorter than the header
    // and lengths that are negative or claim more bytes than follow it.
    bool Deserialize(const std::string& input) override;
    std::string ToString() const;

    // Replaces the buffer by a copy of `count` bytes; no buffer when `bytes`
    // is null or `count` is 0 or less.
    void SetBuffer(const void* bytes, int32_t count);
    // The text as UTF-16LE code units, no terminator.
    void SetParam(const std::wstring& text);
    // False (and an empty text) when there is no buffer; otherwise the first
    // length / 2 UTF-16 code units of the buffer.
    bool GetParam(std::wstring& text) const;

    const BYTE* GetBuffer() const { return szParam_.get(); }
    int32_t GetLength() const { return length_; }

    int32_t module = 0;
    int32_t option = 0;
    int32_t request = 0;

private:
    std::unique_ptr<BYTE[]> szParam_;
    int32_t length_ = 0;
};
