#include "ipc/lpc/NtLpcPortList.h"

NtLpcPortList::~NtLpcPortList() {
    Clear();
}

HANDLE NtLpcPortList::Find(DWORD pid) const {
    for (const Node* node = head_.get(); node; node = node->next.get()) {
        if (node->pid == pid) return node->port;
    }
    return nullptr;
}

void NtLpcPortList::Add(DWORD pid, HANDLE port) {
    head_ = std::unique_ptr<Node>(new Node{pid, port, std::move(head_)});
}

HANDLE NtLpcPortList::Remove(DWORD pid) {
    for (std::unique_ptr<Node>* link = &head_; *link; link = &(*link)->next) {
        if ((*link)->pid == pid) {
            HANDLE port = (*link)->port;
            *link = std::move((*link)->next);
            return port;
        }
    }
    return nullptr;
}

void NtLpcPortList::ForEach(const std::function<void(HANDLE)>& fn) const {
    for (const Node* node = head_.get(); node; node = node->next.get()) fn(node->port);
}

void NtLpcPortList::Clear() {
    // Unlinked one at a time so a long list does not recurse through the nodes' destructors.
    while (head_) head_ = std::move(head_->next);
}

size_t NtLpcPortList::Count() const {
    size_t n = 0;
    for (const Node* node = head_.get(); node; node = node->next.get()) ++n;
    return n;
}
