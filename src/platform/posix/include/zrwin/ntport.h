// The layer's NT port (LPC) entry points, exported from the built-in "ntdll",
// and its own copy of the port message layout. Callers usually bind the
// entry points by name with GetProcAddress, as on Windows; tests of the layer
// call them directly.
//
// Every message buffer handed to these functions is the fixed 328-byte
// record below: the 24-byte header, the 32-byte MessageInfo and 272 bytes of
// payload. The layer always reads and writes the whole record.
#pragma once

#include <stddef.h>

#include "zrwin/ntstatus.h"
#include "zrwin/types.h"
#include "zrwin/winternl.h"

// The published 32-bit port message header; the same on every build here.
typedef struct _PORT_MESSAGE {
    USHORT DataLength;      // bytes after the header that carry data
    USHORT TotalLength;     // header included
    USHORT Type;            // set on delivery: LPC_REQUEST, LPC_REPLY, ...
    USHORT DataInfoOffset;  // 56 when the message carries an indirect-data descriptor
    ULONG ClientProcessId;  // set on delivery
    ULONG ClientThreadId;   // set on delivery
    ULONG MessageId;        // set on delivery; NtReplyPort finds the waiting sender by it
    ULONG ClientViewSize;
} PORT_MESSAGE, *PPORT_MESSAGE;

// The whole record that travels: header, MessageInfo, payload.
typedef struct _PORT_MESSAGE_RECORD {
    PORT_MESSAGE Header;
    BYTE MessageInfo[32];
    BYTE Payload[272];
} PORT_MESSAGE_RECORD;

// The indirect-data descriptor at offset 56 when DataInfoOffset is 56. Entry
// 0 is read by a 32-bit kernel (8-byte entries after the count), entry 1 by a
// 64-bit one (16-byte entries after a padded count).
typedef struct _PORT_DATA_DESCRIPTOR {
    ULONG Count;
    ULONG Address32;
    ULONG Length32;
    ULONG Unused32[3];
    ULONGLONG Address64;
    ULONG Length64;
    ULONG Unused64;
} PORT_DATA_DESCRIPTOR;

#define PORT_MESSAGE_RECORD_SIZE 328
#define PORT_MESSAGE_DATA_INFO_OFFSET 56

#define LPC_REQUEST 1
#define LPC_REPLY 2
#define LPC_DATAGRAM 3
#define LPC_PORT_CLOSED 5
#define LPC_CLIENT_DIED 6
#define LPC_CONNECTION_REQUEST 10

#ifdef __cplusplus
static_assert(sizeof(PORT_MESSAGE) == 24, "port message header");
static_assert(offsetof(PORT_MESSAGE, DataLength) == 0, "DataLength");
static_assert(offsetof(PORT_MESSAGE, TotalLength) == 2, "TotalLength");
static_assert(offsetof(PORT_MESSAGE, Type) == 4, "Type");
static_assert(offsetof(PORT_MESSAGE, DataInfoOffset) == 6, "DataInfoOffset");
static_assert(offsetof(PORT_MESSAGE, ClientProcessId) == 8, "ClientProcessId");
static_assert(offsetof(PORT_MESSAGE, ClientThreadId) == 12, "ClientThreadId");
static_assert(offsetof(PORT_MESSAGE, MessageId) == 16, "MessageId");
static_assert(offsetof(PORT_MESSAGE, ClientViewSize) == 20, "ClientViewSize");
static_assert(sizeof(PORT_MESSAGE_RECORD) == PORT_MESSAGE_RECORD_SIZE, "port message record");
static_assert(offsetof(PORT_MESSAGE_RECORD, MessageInfo) == 24, "MessageInfo");
static_assert(offsetof(PORT_MESSAGE_RECORD, Payload) == PORT_MESSAGE_DATA_INFO_OFFSET, "Payload");
static_assert(sizeof(PORT_DATA_DESCRIPTOR) == 40, "indirect-data descriptor");
static_assert(offsetof(PORT_DATA_DESCRIPTOR, Address32) == 4, "entry 0 address");
static_assert(offsetof(PORT_DATA_DESCRIPTOR, Length32) == 8, "entry 0 length");
static_assert(offsetof(PORT_DATA_DESCRIPTOR, Address64) == 24, "entry 1 address");
static_assert(offsetof(PORT_DATA_DESCRIPTOR, Length64) == 32, "entry 1 length");
#endif

ZRWINAPI NTSTATUS NTAPI NtCreatePort(HANDLE* port, OBJECT_ATTRIBUTES* attributes, ULONG maxConnectionInfoLength,
                                     ULONG maxMessageLength, ULONG maxPoolUsage);
ZRWINAPI NTSTATUS NTAPI NtConnectPort(HANDLE* port, UNICODE_STRING* name, SECURITY_QUALITY_OF_SERVICE* qos,
                                      void* clientView, void* serverView, ULONG* maxMessageLength, void* connectionInfo,
                                      ULONG* connectionInfoLength);
ZRWINAPI NTSTATUS NTAPI NtAcceptConnectPort(HANDLE* port, void* portContext, PORT_MESSAGE* connectionRequest,
                                            BOOLEAN accept, void* serverView, void* clientView);
ZRWINAPI NTSTATUS NTAPI NtCompleteConnectPort(HANDLE port);
ZRWINAPI NTSTATUS NTAPI NtRequestPort(HANDLE port, PORT_MESSAGE* message);
ZRWINAPI NTSTATUS NTAPI NtRequestWaitReplyPort(HANDLE port, PORT_MESSAGE* request, PORT_MESSAGE* reply);
ZRWINAPI NTSTATUS NTAPI NtReplyPort(HANDLE port, PORT_MESSAGE* reply);
ZRWINAPI NTSTATUS NTAPI NtReplyWaitReceivePort(HANDLE port, void** portContext, PORT_MESSAGE* reply,
                                               PORT_MESSAGE* receive);
ZRWINAPI NTSTATUS NTAPI NtReplyWaitReceivePortEx(HANDLE port, void** portContext, PORT_MESSAGE* reply,
                                                 PORT_MESSAGE* receive, LARGE_INTEGER* timeout);
ZRWINAPI NTSTATUS NTAPI NtRegisterThreadTerminatePort(HANDLE port);
ZRWINAPI NTSTATUS NTAPI NtReadRequestData(HANDLE port, PORT_MESSAGE* message, ULONG dataEntryIndex, void* buffer,
                                          SIZE_T bufferSize, SIZE_T* bytesRead);
ZRWINAPI NTSTATUS NTAPI NtWriteRequestData(HANDLE port, PORT_MESSAGE* message, ULONG dataEntryIndex, const void* buffer,
                                           SIZE_T bufferSize, SIZE_T* bytesWritten);
ZRWINAPI NTSTATUS NTAPI NtWaitForSingleObject(HANDLE object, BOOLEAN alertable, LARGE_INTEGER* timeout);
ZRWINAPI void NTAPI RtlInitUnicodeString(UNICODE_STRING* target, const WCHAR* source);
ZRWINAPI NTSTATUS NTAPI NtClose(HANDLE handle);
