#include "ipc/messages/SerialStream.h"

#include <limits>

#include "ipc/messages/ByteOrder.h"
#include "util/Conversions.h"

namespace {
constexpr UINT kUtf8CodePage = 65001;
}

SerialStream::SerialStream() : reading_(false) {}

SerialStream::SerialStream(const std::string& input) : data_(input), reading_(true) {}

bool SerialStream::Take(size_t count, const char*& bytes) {
    if (count > data_.size() - position_) {
        failed_ = true;
        return false;
    }
    bytes = data_.data() + position_;
    position_ += count;
    return true;
}

bool SerialStream::UInt32(uint32_t& value) {
    if (!reading_) {
        zrmessages::AppendUInt32LE(data_, value);
        return true;
    }
    const char* bytes = nullptr;
    if (!Take(4, bytes)) {
        return false;
    }
    value = zrmessages::ReadUInt32LE(reinterpret_cast<const unsigned char*>(bytes));
    return true;
}

bool SerialStream::Int32(int32_t& value) {
    uint32_t raw = static_cast<uint32_t>(value);
    if (!UInt32(raw)) {
        return false;
    }
    value = static_cast<int32_t>(raw);
    return true;
}

bool SerialStream::Byte(uint8_t& value) {
    if (!reading_) {
        data_.push_back(static_cast<char>(value));
        return true;
    }
    const char* bytes = nullptr;
    if (!Take(1, bytes)) {
        return false;
    }
    value = static_cast<uint8_t>(bytes[0]);
    return true;
}

bool SerialStream::Bool(bool& value) {
    uint8_t raw = value ? 1 : 0;
    if (!Byte(raw)) {
        return false;
    }
    value = raw != 0;
    return true;
}

bool SerialStream::String(std::string& value) {
    if (!reading_) {
        // A count that does not fit 32 bits cannot be sent; the body fails.
        if constexpr (sizeof(size_t) > sizeof(uint32_t)) {
            if (value.size() > std::numeric_limits<uint32_t>::max()) {
                failed_ = true;
                return true;
            }
        }
        zrmessages::AppendUInt32LE(data_, static_cast<uint32_t>(value.size()));
        data_.append(value);
        return true;
    }
    uint32_t count = 0;
    if (!UInt32(count)) {
        return false;
    }
    // The count stays consumed when its bytes are missing.
    const char* bytes = nullptr;
    if (!Take(count, bytes)) {
        return false;
    }
    value.assign(bytes, count);
    return true;
}

bool SerialStream::WString(std::wstring& value) {
    if (!reading_) {
        std::string utf8 = Utils_Conversions::Conversion::toString(value, kUtf8CodePage);
        return String(utf8);
    }
    std::string utf8;
    if (!String(utf8)) {
        return false;
    }
    value = Utils_Conversions::Conversion::toWstring(utf8, kUtf8CodePage);
    return true;
}

bool SerialStream::Succeeded() const {
    if (failed_) {
        return false;
    }
    return !reading_ || position_ == data_.size();
}
