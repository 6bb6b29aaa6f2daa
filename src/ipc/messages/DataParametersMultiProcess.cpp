#include "ipc/messages/DataParametersMultiProcess.h"

#include <cstring>
#include <utility>

#include "ipc/messages/ByteOrder.h"
#include "ipc/messages/TextForm.h"
#include "log/Log.h"
#include "util/Conversions.h"

DataParametersMultiProcess::DataParametersMultiProcess(const DataParametersMultiProcess& other)
    : ISerializable(other), module(other.module), option(other.option), request(other.request) {
    SetBuffer(other.szParam_.get(), other.length_);
}

DataParametersMultiProcess& DataParametersMultiProcess::operator=(const DataParametersMultiProcess& other) {
    if (this != &other) {
        module = other.module;
        option = other.option;
        request = other.request;
        SetBuffer(other.szParam_.get(), other.length_);
    }
    return *this;
}

DataParametersMultiProcess::DataParametersMultiProcess(DataParametersMultiProcess&& other) noexcept
    : ISerializable(other),
      module(other.module),
      option(other.option),
      request(other.request),
      szParam_(std::move(other.szParam_)),
      length_(std::exchange(other.length_, 0)) {}

DataParametersMultiProcess& DataParametersMultiProcess::operator=(DataParametersMultiProcess&& other) noexcept {
    if (this != &other) {
        module = other.module;
        option = other.option;
        request = other.request;
        szParam_ = std::move(other.szParam_);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

void DataParametersMultiProcess::SetBuffer(const void* bytes, int32_t count) {
    szParam_.reset();
    length_ = 0;
    if (!bytes || count <= 0) {
        return;
    }
    szParam_.reset(new BYTE[static_cast<size_t>(count)]);
    std::memcpy(szParam_.get(), bytes, static_cast<size_t>(count));
    length_ = count;
}

void DataParametersMultiProcess::SetParam(const std::wstring& text) {
    const std::string units = ToUtf16LE(text);
    SetBuffer(units.data(), static_cast<int32_t>(units.size()));
}

bool DataParametersMultiProcess::GetParam(std::wstring& text) const {
    text.clear();
    if (!szParam_) {
        return false;
    }
    if (length_ >= 1) {
        // Whole UTF-16 units only: an odd last byte is dropped.
        text = FromUtf16LE(szParam_.get(), static_cast<size_t>(length_ / 2) * 2);
    }
    return true;
}

std::string DataParametersMultiProcess::Serialize() const {
    std::string out;
    const size_t payload = (szParam_ && length_ > 0) ? static_cast<size_t>(length_) : 0;
    out.reserve(kHeaderSize + payload);
    zrmessages::AppendInt32LE(out, request);
    zrmessages::AppendInt32LE(out, module);
    zrmessages::AppendInt32LE(out, option);
    zrmessages::AppendInt32LE(out, length_);
    out.append(reinterpret_cast<const char*>(szParam_.get()), payload);
    return out;
}

bool DataParametersMultiProcess::Deserialize(const std::string& input) {
    if (input.size() < kHeaderSize) {
        Log(LOG_ERROR, "DataParametersMultiProcess::Deserialize: [E] Invalid params, size:%d",
            static_cast<int>(input.size()));
        return false;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(input.data());
    const int32_t length = zrmessages::ReadInt32LE(bytes + 12);
    const size_t available = input.size() - kHeaderSize;
    // A count the body cannot back is refused whole rather than cut, so the
    // module never sees a parameter the parent did not send.
    if (length < 0) {
        Log(LOG_ERROR, "DataParametersMultiProcess::Deserialize: [E] Negative length:%ld", static_cast<LONG>(length));
        return false;
    }
    if (static_cast<size_t>(length) > available) {
        Log(LOG_ERROR, "DataParametersMultiProcess::Deserialize: [E] Length %ld exceeds the %lu bytes after the header",
            static_cast<LONG>(length), static_cast<DWORD>(available));
        return false;
    }
    request = zrmessages::ReadInt32LE(bytes);
    module = zrmessages::ReadInt32LE(bytes + 4);
    option = zrmessages::ReadInt32LE(bytes + 8);
    SetBuffer(bytes + kHeaderSize, length);
    return true;
}

std::string DataParametersMultiProcess::ToString() const {
    std::string text = zrmessages::FormatText("{DATA module:%d, lparam:%d, szParam[%d]:", static_cast<int>(module),
                                              static_cast<int>(option), static_cast<int>(length_));
    // At most 29 bytes, NULs shown as blanks, so UTF-16 text reads as spaced
    // ASCII letters.
    const int32_t shown = (length_ < 30 ? length_ : 30) - 1;
    for (int32_t i = 0; szParam_ && i < shown; ++i) {
        const char c = static_cast<char>(szParam_[static_cast<size_t>(i)]);
        text.push_back(c == '\0' ? ' ' : c);
    }
    text += zrmessages::FormatText(", request:%d}", static_cast<int>(request));
    return text;
}
