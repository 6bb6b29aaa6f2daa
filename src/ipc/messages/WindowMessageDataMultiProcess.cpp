#include "ipc/messages/WindowMessageDataMultiProcess.h"

#include <cstring>
#include <new>

#include "ipc/messages/ByteOrder.h"
#include "ipc/messages/TextForm.h"
#include "log/Log.h"

namespace {

// False when the buffer cannot be had; the caller logs under its own name.
bool ReplaceBuffer(std::unique_ptr<BYTE[]>& buffer, int32_t& countField, const void* bytes, int32_t count) {
    buffer.reset();
    // The count follows the buffer, so a failed setter leaves a consistent,
    // empty parameter.
    countField = 0;
    if (count < 0) {
        return false;
    }
    const size_t size = static_cast<size_t>(count);
    BYTE* fresh = new (std::nothrow) BYTE[size == 0 ? 1 : size];
    if (!fresh) {
        return false;
    }
    std::memset(fresh, 0, size == 0 ? 1 : size);
    if (bytes && size > 0) {
        std::memcpy(fresh, bytes, size);
    }
    buffer.reset(fresh);
    countField = count;
    return true;
}

void AppendBuffer(std::string& out, const BYTE* buffer, int32_t count) {
    if (buffer && count > 0) {
        out.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(count));
    }
}

}  // namespace

void WindowMessageDataMultiProcess::SetWParam(const void* bytes, int32_t count) {
    if (!ReplaceBuffer(wParam_, iLenWParam_, bytes, count)) {
        LogAlways("[ModuleControlMP] SetWParam. #Exception#");
    }
}

void WindowMessageDataMultiProcess::SetLParam(const void* bytes, int32_t count) {
    if (!ReplaceBuffer(lParam_, iLenLParam_, bytes, count)) {
        LogAlways("[ModuleControlMP] SetLParam. #Exception#");
    }
}

std::string WindowMessageDataMultiProcess::Serialize() const {
    std::string out;
    zrmessages::AppendInt32LE(out, iRequestId);
    zrmessages::AppendUInt32LE(out, uMsg);
    zrmessages::AppendInt32LE(out, iLenWParam_);
    zrmessages::AppendInt32LE(out, iLenLParam_);
    AppendBuffer(out, wParam_.get(), iLenWParam_);
    AppendBuffer(out, lParam_.get(), iLenLParam_);
    return out;
}

bool WindowMessageDataMultiProcess::Deserialize(const std::string& input) {
    if (input.size() < kHeaderSize) {
        Log(LOG_ERROR, "WindowMessageDataMultiProcess::Deserialize: [E] Invalid params, size:%d",
            static_cast<int>(input.size()));
        return false;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(input.data());
    const int32_t lenW = zrmessages::ReadInt32LE(bytes + 8);
    const int32_t lenL = zrmessages::ReadInt32LE(bytes + 12);
    const size_t available = input.size() - kHeaderSize;
    // Counts the body cannot back are refused whole rather than cut.
    if (lenW < 0 || lenL < 0) {
        Log(LOG_ERROR, "WindowMessageDataMultiProcess::Deserialize: [E] Negative count, iLenWParam:%ld, iLenLParam:%ld",
            static_cast<LONG>(lenW), static_cast<LONG>(lenL));
        return false;
    }
    if (static_cast<uint64_t>(lenW) + static_cast<uint64_t>(lenL) > available) {
        Log(LOG_ERROR,
            "WindowMessageDataMultiProcess::Deserialize: [E] Counts exceed the %lu bytes after the header, "
            "iLenWParam:%ld, iLenLParam:%ld",
            static_cast<DWORD>(available), static_cast<LONG>(lenW), static_cast<LONG>(lenL));
        return false;
    }
    iRequestId = zrmessages::ReadInt32LE(bytes);
    uMsg = zrmessages::ReadUInt32LE(bytes + 4);
    SetWParam(bytes + kHeaderSize, lenW);
    SetLParam(bytes + kHeaderSize + lenW, lenL);
    return true;
}

std::string WindowMessageDataMultiProcess::ToString() const {
    // The buffers' addresses stand in for the two message parameters: wParam
    // is an unsigned word and lParam a signed one.
    const auto w = reinterpret_cast<uintptr_t>(wParam_.get());
    const auto l = reinterpret_cast<intptr_t>(lParam_.get());
    std::string text = zrmessages::FormatText("{WMSG uMsg:%u", static_cast<unsigned>(uMsg));
    text += " wParam:" + std::to_string(w);
    text += " lParam:" + std::to_string(l);
    text += zrmessages::FormatText(" iLenWParam:%d iLenLParam:%d iRequestId:%d}", static_cast<int>(iLenWParam_),
                                   static_cast<int>(iLenLParam_), static_cast<int>(iRequestId));
    return text;
}
