// The base of every message body that is encoded field by field.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/platform.h"

class ISerializable {
public:
    // The encoded body; empty when it cannot be encoded.
    virtual std::string Serialize() const = 0;
    // True when the whole input decoded; fields read before a failure may
    // already have changed.
    virtual bool Deserialize(const std::string& input) = 0;

    // The encoded body in a buffer of its own, length in `length`; null when
    // the body is empty.
    std::unique_ptr<BYTE[]> SerializeToBuffer(DWORD& length) const;

protected:
    ISerializable() = default;
    ISerializable(const ISerializable&) = default;
    ISerializable& operator=(const ISerializable&) = default;
    // Bodies are destroyed through their own type, never through this base.
    ~ISerializable() = default;
};
