#include "ntdll/port_io.h"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "core/status.h"

namespace zrwin::ntport {
namespace {

constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kReadAhead = 1024 * 1024;
constexpr const char kAddressPrefix[] = "zrwin-port:";

uint64_t Fnv1a64(const std::string& text) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

uint32_t ReadU32(const Record& record, size_t offset) {
    uint32_t value;
    std::memcpy(&value, record.data() + offset, sizeof value);
    return value;
}

}  // namespace

FrameReader::Fill FrameReader::ReadAvailable(int fd) {
    for (;;) {
        if (start_ == used_) start_ = used_ = 0;
        // Room for more of the frame being received, in steps of at most
        // kReadAhead: a header alone never makes the buffer as large as it
        // claims, only bytes that really came do.
        size_t want = ExpectedFrameSize(buffer_.data() + start_, used_ - start_);
        want = want > used_ - start_ ? want - (used_ - start_) : kReadChunk;
        if (want < kReadChunk) want = kReadChunk;
        if (want > kReadAhead) want = kReadAhead;
        if (buffer_.size() - used_ < want) {
            if (start_ > 0) {
                std::memmove(buffer_.data(), buffer_.data() + start_, used_ - start_);
                used_ -= start_;
                start_ = 0;
            }
            if (buffer_.size() - used_ < want) buffer_.resize(used_ + want);
        }
        const ssize_t got = ::read(fd, buffer_.data() + used_, buffer_.size() - used_);
        if (got > 0) {
            used_ += static_cast<size_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Fill::Open;
        return Fill::Closed;
    }
}

bool FrameReader::Next(OwnedFrame& frame) {
    if (broken_) return false;
    FrameView view{};
    switch (ParseFrame(buffer_.data() + start_, used_ - start_, view)) {
        case ParseResult::NeedMore:
            // A large buffer that held one big frame is given back once empty.
            if (start_ == used_ && buffer_.size() > 4 * kReadChunk) {
                std::vector<uint8_t>().swap(buffer_);
                start_ = used_ = 0;
            }
            return false;
        case ParseResult::Invalid:
            broken_ = true;
            return false;
        case ParseResult::Complete:
            break;
    }
    frame.header = view.header;
    if (view.record) std::memcpy(frame.record.data(), view.record, kRecordSize);
    frame.data.assign(view.data, view.data + view.header.dataBytes);
    start_ += view.frameBytes;
    return true;
}

NTSTATUS SendFrame(int fd, const FrameHeader& header, const void* record, const void* data, int timeoutMs) {
    iovec parts[3];
    int count = 0;
    parts[count++] = {const_cast<FrameHeader*>(&header), sizeof header};
    if (header.recordBytes) parts[count++] = {const_cast<void*>(record), header.recordBytes};
    if (header.dataBytes) parts[count++] = {const_cast<void*>(data), header.dataBytes};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    iovec* next = parts;
    while (count > 0) {
        msghdr message{};
        message.msg_iov = next;
        message.msg_iovlen = static_cast<size_t>(count);
        // MSG_NOSIGNAL: a peer that went away is a status, not a SIGPIPE.
        const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return STATUS_PORT_DISCONNECTED;
            int wait = -1;
            if (timeoutMs >= 0) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0) return STATUS_TIMEOUT;
                wait = static_cast<int>(left.count());
            }
            pollfd room{fd, POLLOUT, 0};
            if (::poll(&room, 1, wait) < 0 && errno != EINTR) return STATUS_PORT_DISCONNECTED;
            continue;
        }
        size_t done = static_cast<size_t>(sent);
        while (count > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<uint8_t*>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
    return STATUS_SUCCESS;
}

void PortAddress(const std::string& name, sockaddr_un& address, socklen_t& length) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    // sun_path[0] stays 0: the abstract namespace, where the name vanishes
    // with the last descriptor and never leaves a file.
    std::string text = kAddressPrefix + name;
    const size_t room = sizeof(address.sun_path) - 1;
    if (text.size() > room) {
        char hash[20];
        std::snprintf(hash, sizeof hash, "#%016llx", static_cast<unsigned long long>(Fnv1a64(name)));
        text = text.substr(0, room - std::strlen(hash)) + hash;
    }
    std::memcpy(address.sun_path + 1, text.data(), text.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + text.size());
}

NTSTATUS PortNameFromUnicode(const UNICODE_STRING* name, std::string& utf8) {
    if (!name || name->Length == 0) return STATUS_OBJECT_NAME_INVALID;
    if (!name->Buffer || name->Length % sizeof(WCHAR) != 0 || name->Length > name->MaximumLength) {
        return STATUS_INVALID_PARAMETER;
    }
    const size_t count = name->Length / sizeof(WCHAR);
    if (name->Buffer[0] != L'\\') return kStatusObjectPathSyntaxBad;
    utf8.clear();
    for (size_t i = 0; i < count; ++i) {
        if (name->Buffer[i] == 0) return STATUS_OBJECT_NAME_INVALID;
        AppendUtf8(utf8, static_cast<uint32_t>(name->Buffer[i]));
    }
    return STATUS_SUCCESS;
}

NTSTATUS StatusFromErrno(int error) {
    // What a socket's errors mean for a port; every other errno reads as it
    // does for any NT call.
    switch (error) {
        case ECONNREFUSED:
            return STATUS_OBJECT_NAME_NOT_FOUND;
        case EADDRINUSE:
            return STATUS_OBJECT_NAME_COLLISION;
        case ENOBUFS:
            return STATUS_NO_MEMORY;
        case EPIPE:
        case ECONNRESET:
        case ENOTCONN:
            return STATUS_PORT_DISCONNECTED;
        case EFAULT:
            return STATUS_ACCESS_VIOLATION;
        default:
            return zrwin::NtStatusFromErrno(error);
    }
}

NTSTATUS CheckMessageLength(const PORT_MESSAGE& header, ULONG maxMessageLength) {
    const ULONG total = header.TotalLength;
    const ULONG data = header.DataLength;
    if (total > maxMessageLength || data + sizeof(PORT_MESSAGE) > maxMessageLength || data > total) {
        return STATUS_PORT_MESSAGE_TOO_LONG;
    }
    if (header.DataInfoOffset != 0 && header.DataInfoOffset != PORT_MESSAGE_DATA_INFO_OFFSET) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

uint32_t DescriptorCount(const Record& record) {
    PORT_MESSAGE header;
    std::memcpy(&header, record.data(), sizeof header);
    if (header.DataInfoOffset != PORT_MESSAGE_DATA_INFO_OFFSET) return 0;
    return ReadU32(record, PORT_MESSAGE_DATA_INFO_OFFSET);
}

NTSTATUS ReadIndirectData(const Record& record, IndirectData& out) {
    out = IndirectData{};
    PORT_MESSAGE header;
    std::memcpy(&header, record.data(), sizeof header);
    if (header.DataInfoOffset == 0) return STATUS_SUCCESS;
    PORT_DATA_DESCRIPTOR descriptor;
    std::memcpy(&descriptor, record.data() + PORT_MESSAGE_DATA_INFO_OFFSET, sizeof descriptor);
    // The entry the kernel of this build's width would read.
    constexpr bool kWide = sizeof(void*) == 8;
    if (descriptor.Count < (kWide ? 2u : 1u)) return STATUS_INVALID_PARAMETER;
    out.present = true;
    out.address = kWide ? descriptor.Address64 : descriptor.Address32;
    out.length = kWide ? descriptor.Length64 : descriptor.Length32;
    if (out.length > kMaxFrameData) return STATUS_INVALID_PARAMETER;
    if (out.length == 0) return STATUS_SUCCESS;
    if (out.address == 0) return STATUS_ACCESS_VIOLATION;
    out.bytes.resize(out.length);
    size_t done = 0;
    while (done < out.length) {
        iovec local{out.bytes.data() + done, out.length - done};
        iovec remote{reinterpret_cast<void*>(static_cast<uintptr_t>(out.address + done)), out.length - done};
        const ssize_t got = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
        if (got > 0) {
            done += static_cast<size_t>(got);
            continue;
        }
        if (got < 0 && (errno == ENOSYS || errno == EPERM)) {
            // No cross-memory copies here (seccomp, old kernel): trust the caller.
            std::memcpy(out.bytes.data() + done,
                        reinterpret_cast<const void*>(static_cast<uintptr_t>(out.address + done)), out.length - done);
            break;
        }
        return STATUS_ACCESS_VIOLATION;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CopyToCallerMemory(uint64_t address, const void* source, size_t length) {
    if (length == 0) return STATUS_SUCCESS;
    if (address == 0) return STATUS_ACCESS_VIOLATION;
    size_t done = 0;
    while (done < length) {
        iovec local{const_cast<uint8_t*>(static_cast<const uint8_t*>(source)) + done, length - done};
        iovec remote{reinterpret_cast<void*>(static_cast<uintptr_t>(address + done)), length - done};
        const ssize_t put = ::process_vm_writev(::getpid(), &local, 1, &remote, 1, 0);
        if (put > 0) {
            done += static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && (errno == ENOSYS || errno == EPERM)) {
            std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(address + done)),
                        static_cast<const uint8_t*>(source) + done, length - done);
            break;
        }
        return STATUS_ACCESS_VIOLATION;
    }
    return STATUS_SUCCESS;
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

}  // namespace zrwin::ntport
