// Fixed-layout views over the raw start (MStartModule) and stop
// (MStopModule) bodies as received. A view knows the received length: a body
// shorter than its fixed size is invalid and none of its fields is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class StartParametersMultiProcess {
public:
    static constexpr size_t kModuleOffset = 0;
    static constexpr size_t kModuleSize = 260;
    static constexpr size_t kParamOffset = 260;
    static constexpr size_t kParamSize = 4096;
    static constexpr size_t kOptOffset = 4356;
    static constexpr size_t kHWndOffset = 4360;
    static constexpr size_t kReplOffset = 4364;
    static constexpr size_t kChkCertOffset = 4365;
    static constexpr size_t kIdOffset = 4368;
    static constexpr size_t kRequestOffset = 4372;
    static constexpr size_t kTypeOffset = 4376;
    // The host requires the whole body although it reads nothing from 4380 on.
    static constexpr size_t kSize = 4464;

    struct Fields {
        std::string module;
        std::string param;
        int32_t opt = 0;
        uint32_t hWnd = 0;
        bool repl = false;
        bool chkCert = false;
        int32_t id = 0;
        int32_t request = 0;
        int32_t type = 0;
    };

    // A view that may write the start result into the body.
    StartParametersMultiProcess(void* body, size_t length);
    // A read-only view.
    StartParametersMultiProcess(const void* body, size_t length);

    // The body holds every field.
    bool IsComplete() const { return length_ >= kSize; }
    // Complete, id and request 0 or more, module not empty.
    bool IsValid() const;
    std::string ToString() const;

    // Field values; 0 or empty when the body is not complete. The texts end
    // at their first NUL or at the end of their field, whichever comes first.
    std::string GetModule() const;
    std::string GetParam() const;
    // The whole param field, the NULs after the text included.
    std::string GetParamField() const;
    int32_t GetOpt() const;
    uint32_t GetHWnd() const;
    bool GetRepl() const;
    bool GetChkCert() const;
    int32_t GetId() const;
    int32_t GetRequest() const;
    int32_t GetType() const;

    // Writes the start result into `id`; false on a read-only or incomplete
    // body.
    bool SetId(int32_t id);

    // A complete body of kSize bytes; texts are cut to their field (a text
    // that fills it has no terminator), unread bytes are zero.
    static std::string Encode(const Fields& fields);

private:
    std::string Text(size_t offset, size_t size) const;
    uint32_t Word(size_t offset) const;

    const unsigned char* data_;
    unsigned char* writable_;
    size_t length_;
};

class StopParametersMultiProcess {
public:
    static constexpr size_t kModuleOffset = 0;
    static constexpr size_t kTimeoutOffset = 4;
    static constexpr size_t kIsModuleOffset = 8;
    static constexpr size_t kRequestOffset = 12;
    static constexpr size_t kSize = 16;

    struct Fields {
        int32_t module = 0;
        int32_t timeout = 0;
        uint8_t isModule = 0;
        int32_t request = 0;
    };

    StopParametersMultiProcess(void* body, size_t length);
    StopParametersMultiProcess(const void* body, size_t length);

    bool IsComplete() const { return length_ >= kSize; }
    // Complete, module and request 0 or more.
    bool IsValid() const;
    std::string ToString() const;

    // Field values; 0 when the body is not complete.
    int32_t GetModule() const;
    int32_t GetTimeout() const;
    uint8_t GetIsModule() const;
    int32_t GetRequest() const;

    // Writes the stop result (1 stopped, 0 not); false on a read-only or
    // incomplete body.
    bool SetIsModule(uint8_t isModule);

    static std::string Encode(const Fields& fields);

private:
    uint32_t Word(size_t offset) const;

    const unsigned char* data_;
    unsigned char* writable_;
    size_t length_;
};
