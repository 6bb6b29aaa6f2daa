#include "ipc/lpc/NtLpcInterface.h"

#include "log/Log.h"

namespace {

const wchar_t kNtdllName[] = L"ntdll.dll";

template <class Fn>
void Bind(HMODULE library, const char* name, Fn& slot) {
    slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

template <class Fn>
void* AsPointer(Fn fn) {
    return reinterpret_cast<void*>(fn);
}

struct NamedStatus {
    uint32_t status;
    const char* name;
};

const NamedStatus kSuccessNames[] = {
    {0x000000C0u, "STATUS_USER_APC"},       {0x00000102u, "STATUS_TIMEOUT"}, {0x00000103u, "STATUS_PENDING"},
    {0x00010001u, "DBG_EXCEPTION_HANDLED"}, {0x00010002u, "DBG_CONTINUE"},
};

const NamedStatus kInformationalNames[] = {
    {0x40000005u, "STATUS_SEGMENT_NOTIFICATION"}, {0x40010003u, "DBG_TERMINATE_THREAD"},
    {0x40010004u, "DBG_TERMINATE_PROCESS"},       {0x40010005u, "DBG_CONTROL_C"},
    {0x40010008u, "DBG_CONTROL_BREAK"},           {0x40010009u, "DBG_COMMAND_EXCEPTION"},
};

const NamedStatus kWarningNames[] = {
    {0x80000001u, "STATUS_GUARD_PAGE_VIOLATION"}, {0x80000002u, "STATUS_DATATYPE_MISALIGNMENT"},
    {0x80000003u, "STATUS_BREAKPOINT"},           {0x80000004u, "STATUS_SINGLE_STEP"},
    {0x80000005u, "STATUS_BUFFER_OVERFLOW"},      {0x80010001u, "DBG_EXCEPTION_NOT_HANDLED"},
};

const NamedStatus kErrorNames[] = {
    {0xC0000001u, "STATUS_UNSUCCESSFUL"},
    {0xC0000002u, "STATUS_NOT_IMPLEMENTED"},
    {0xC0000003u, "STATUS_INVALID_INFO_CLASS"},
    {0xC0000004u, "STATUS_INFO_LENGTH_MISMATCH"},
    {0xC0000005u, "STATUS_ACCESS_VIOLATION"},
    {0xC0000006u, "STATUS_IN_PAGE_ERROR"},
    {0xC0000007u, "STATUS_PAGEFILE_QUOTA"},
    {0xC0000008u, "STATUS_INVALID_HANDLE"},
    {0xC0000009u, "STATUS_BAD_INITIAL_STACK"},
    {0xC000000Au, "STATUS_BAD_INITIAL_PC"},
    {0xC000000Bu, "STATUS_INVALID_CID"},
    {0xC000000Cu, "STATUS_TIMER_NOT_CANCELED"},
    {0xC000000Du, "STATUS_INVALID_PARAMETER"},
    {0xC0000017u, "STATUS_NO_MEMORY"},
    {0xC000001Du, "STATUS_ILLEGAL_INSTRUCTION"},
    {0xC0000025u, "STATUS_NONCONTINUABLE_EXCEPTION"},
    {0xC0000026u, "STATUS_INVALID_DISPOSITION"},
    {0xC000008Cu, "STATUS_ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008Du, "STATUS_FLOAT_DENORMAL_OPERAND"},
    {0xC000008Eu, "STATUS_FLOAT_DIVIDE_BY_ZERO"},
    {0xC000008Fu, "STATUS_FLOAT_INEXACT_RESULT"},
    {0xC0000090u, "STATUS_FLOAT_INVALID_OPERATION"},
    {0xC0000091u, "STATUS_FLOAT_OVERFLOW"},
    {0xC0000092u, "STATUS_FLOAT_STACK_CHECK"},
    {0xC0000093u, "STATUS_FLOAT_UNDERFLOW"},
    {0xC0000094u, "STATUS_INTEGER_DIVIDE_BY_ZERO"},
    {0xC0000095u, "STATUS_INTEGER_OVERFLOW"},
    {0xC0000096u, "STATUS_PRIVILEGED_INSTRUCTION"},
    {0xC00000FDu, "STATUS_STACK_OVERFLOW"},
    {0xC000013Au, "STATUS_CONTROL_C_EXIT"},
    {0xC000020Fu, "STATUS_TRANSACTION_ABORTED"},
    {0xC0000210u, "STATUS_TRANSACTION_TIMED_OUT"},
    {0xC0000211u, "STATUS_TRANSACTION_NO_RELEASE"},
    {0xC0000212u, "STATUS_TRANSACTION_NO_MATCH"},
    {0xC0000213u, "STATUS_TRANSACTION_RESPONDED"},
    {0xC0000214u, "STATUS_TRANSACTION_INVALID_ID"},
    {0xC0000215u, "STATUS_TRANSACTION_INVALID_TYPE"},
    {0xC0000216u, "STATUS_NOT_SERVER_SESSION"},
    {0xC0000217u, "STATUS_NOT_CLIENT_SESSION"},
    {0xC0000218u, "STATUS_CANNOT_LOAD_REGISTRY_FILE"},
    {0xC0000219u, "STATUS_DEBUG_ATTACH_FAILED"},
    {0xC000021Au, "STATUS_SYSTEM_PROCESS_TERMINATED"},
    {0xC000021Bu, "STATUS_DATA_NOT_ACCEPTED"},
    {0xC000021Cu, "STATUS_NO_BROWSER_SERVERS_FOUND"},
    {0xC000021Du, "STATUS_VDM_HARD_ERROR"},
    {0xC000021Eu, "STATUS_DRIVER_CANCEL_TIMEOUT"},
    {0xC000021Fu, "STATUS_REPLY_MESSAGE_MISMATCH"},
    {0xC0000700u, "STATUS_PORT_CLOSED"},
    {0xC0000701u, "STATUS_MESSAGE_LOST"},
    {0xC0000702u, "STATUS_INVALID_MESSAGE"},
    {0xC0000703u, "STATUS_REQUEST_CANCELED"},
    {0xC0000704u, "STATUS_RECURSIVE_DISPATCH"},
    {0xC0000705u, "STATUS_LPC_RECEIVE_BUFFER_EXPECTED"},
    {0xC0000706u, "STATUS_LPC_INVALID_CONNECTION_USAGE"},
    {0xC0000707u, "STATUS_LPC_REQUESTS_NOT_ALLOWED"},
    {0xC0000708u, "STATUS_RESOURCE_IN_USE"},
};

template <size_t N>
const char* Lookup(const NamedStatus (&table)[N], uint32_t status, const char* fallback) {
    for (const NamedStatus& entry : table) {
        if (entry.status == status) return entry.name;
    }
    return fallback;
}

}  // namespace

NtLpcInterface::NtLpcInterface() = default;

NtLpcInterface::~NtLpcInterface() {
    if (library_ && !FreeLibrary(library_)) {
        LogAlways("NtLpcInterface::~NtLpcInterface: Error, could not free library %ws", kNtdllName);
    }
}

bool NtLpcInterface::Load() {
    return LoadFrom(kNtdllName);
}

void NtLpcInterface::ForgetEntryPoints() {
    NtCreatePort = nullptr;
    NtAcceptConnectPort = nullptr;
    NtCompleteConnectPort = nullptr;
    NtConnectPort = nullptr;
    NtRequestWaitReplyPort = nullptr;
    NtRequestPort = nullptr;
    NtReplyWaitReceivePort = nullptr;
    NtReplyWaitReceivePortEx = nullptr;
    NtReplyPort = nullptr;
    NtRegisterThreadTerminatePort = nullptr;
    NtReadRequestData = nullptr;
    NtWriteRequestData = nullptr;
    NtWaitForSingleObject = nullptr;
    RtlInitUnicodeString = nullptr;
    NtClose = nullptr;
}

bool NtLpcInterface::LoadFrom(const wchar_t* libraryName) {
    if (library_) {
        if (!FreeLibrary(library_)) {
            LogAlways("NtLpcInterface::Load: Error, could not free library %ws", kNtdllName);
        }
    }
    library_ = nullptr;
    ForgetEntryPoints();

    library_ = LoadLibraryW(libraryName);
    if (!library_) {
        LogAlways("NtLpcInterface::Load: Error, could not load library %ws", libraryName);
        return false;
    }

    Bind(library_, "NtCreatePort", NtCreatePort);
    Bind(library_, "NtAcceptConnectPort", NtAcceptConnectPort);
    Bind(library_, "NtCompleteConnectPort", NtCompleteConnectPort);
    Bind(library_, "NtConnectPort", NtConnectPort);
    Bind(library_, "NtRequestWaitReplyPort", NtRequestWaitReplyPort);
    Bind(library_, "NtRequestPort", NtRequestPort);
    Bind(library_, "NtReplyWaitReceivePort", NtReplyWaitReceivePort);
    Bind(library_, "NtReplyWaitReceivePortEx", NtReplyWaitReceivePortEx);
    Bind(library_, "NtReplyPort", NtReplyPort);
    Bind(library_, "NtRegisterThreadTerminatePort", NtRegisterThreadTerminatePort);
    Bind(library_, "NtReadRequestData", NtReadRequestData);
    Bind(library_, "NtWriteRequestData", NtWriteRequestData);
    Bind(library_, "NtWaitForSingleObject", NtWaitForSingleObject);
    Bind(library_, "RtlInitUnicodeString", RtlInitUnicodeString);
    Bind(library_, "NtClose", NtClose);

    const bool all = NtCreatePort && NtAcceptConnectPort && NtCompleteConnectPort && NtConnectPort &&
                     NtRequestWaitReplyPort && NtRequestPort && NtReplyWaitReceivePort && NtReplyWaitReceivePortEx &&
                     NtReplyPort && NtRegisterThreadTerminatePort && NtReadRequestData && NtWriteRequestData &&
                     NtWaitForSingleObject && RtlInitUnicodeString && NtClose;
    if (all) return true;

    LogAlways(
        "NtLpcInterface::Load : Error loading library %ws: NtCreatePort (%p) NtAcceptConnectPort (%p) "
        "NtCompleteConnectPort(%p)NtConnectPort(%p) NtRequestWaitReplyPort(%p) NtRequestPort(%p) "
        "NtReplyWaitReceivePort(%p) NtReplyWaitReceivePortEx(%p) NtReplyPort(%p)NtRegisterThreadTerminatePort(%p) "
        "NtReadRequestData(%p) NtWriteRequestData(%p)NtWaitForSingleObject(%p) RtlInitUnicodeString(%p) NtClose(%p) ",
        libraryName, AsPointer(NtCreatePort), AsPointer(NtAcceptConnectPort), AsPointer(NtCompleteConnectPort),
        AsPointer(NtConnectPort), AsPointer(NtRequestWaitReplyPort), AsPointer(NtRequestPort),
        AsPointer(NtReplyWaitReceivePort), AsPointer(NtReplyWaitReceivePortEx), AsPointer(NtReplyPort),
        AsPointer(NtRegisterThreadTerminatePort), AsPointer(NtReadRequestData), AsPointer(NtWriteRequestData),
        AsPointer(NtWaitForSingleObject), AsPointer(RtlInitUnicodeString), AsPointer(NtClose));
    return false;
}

const char* NtStatusName(uint32_t status) {
    if (status <= 0x3Fu) return "STATUS_WAIT";
    if (status <= 0x7Fu) return "reserved";
    if (status <= 0xBFu) return "STATUS_ABANDONED";
    if (status < 0x40000000u) return Lookup(kSuccessNames, status, "SUCCESS code");
    if (status < 0x80000000u) return Lookup(kInformationalNames, status, "INFORMATIONAL code");
    if (status == 0x80000000u) return "reserved";
    if (status < 0xC0000000u) return Lookup(kWarningNames, status, "WARNING code");
    return Lookup(kErrorNames, status, "ERROR code");
}
