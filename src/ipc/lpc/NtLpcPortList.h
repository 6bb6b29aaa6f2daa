// (process id, port handle) pairs, newest first. Does not close the handles
// it holds; its owner does. No lock of its own: the owner guards it.
#pragma once

#include <functional>
#include <memory>

#include "platform/platform.h"

class NtLpcPortList {
public:
    NtLpcPortList() = default;
    virtual ~NtLpcPortList();
    NtLpcPortList(const NtLpcPortList&) = delete;
    NtLpcPortList& operator=(const NtLpcPortList&) = delete;

    // The handle of the first node for pid; null when none.
    HANDLE Find(DWORD pid) const;
    // Always at the front; a pid already present is not looked for.
    void Add(DWORD pid, HANDLE port);
    // Unlinks the first node for pid and returns its handle; null when none.
    HANDLE Remove(DWORD pid);
    void ForEach(const std::function<void(HANDLE)>& fn) const;
    void Clear();
    bool IsEmpty() const { return !head_; }
    size_t Count() const;

private:
    struct Node {
        DWORD pid;
        HANDLE port;
        std::unique_ptr<Node> next;
    };
    std::unique_ptr<Node> head_;
};
