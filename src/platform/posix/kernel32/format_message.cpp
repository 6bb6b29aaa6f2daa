// FormatMessageA with the Windows system message texts (English) of the error
// codes the layer produces. Other codes have no text, as on a system whose
// message table lacks them.
#include <cstdint>
#include <cstring>
#include <string>

#include "zrwin/crypt.h"
#include "zrwin/sync.h"
#include "zrwin/sysinfo.h"

namespace {

struct SystemMessage {
    DWORD code;
    const char* text;
};

// The texts as the system message table holds them (the line end follows).
const SystemMessage kMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {11, "An attempt was made to load a program with an incorrect format."},
    {12, "The access code is invalid."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {15, "The system cannot find the drive specified."},
    {18, "There are no more files."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {24, "The program issued a command but the command length is incorrect."},
    {29, "The system cannot write to the specified device."},
    {30, "The system cannot read from the specified device."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of the file."},
    {38, "Reached the end of the file."},
    {39, "The disk is full."},
    {50, "The request is not supported."},
    {80, "The file exists."},
    {82, "The directory or file cannot be created."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {112, "There is not enough space on the disk."},
    {120, "This function is not supported on this system."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {131, "An attempt was made to move the file pointer before the beginning of the file."},
    {145, "The directory is not empty."},
    {161, "The specified path is invalid."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {193, "%1 is not a valid Win32 application."},
    {203, "The system could not find the environment option that was entered."},
    {206, "The filename or extension is too long."},
    {234, "More data is available."},
    {258, "The wait operation timed out."},
    {259, "No more data is available."},
    {267, "The directory name is invalid."},
    {288, "Attempt to release mutex not owned by caller."},
    {299, "Only part of a ReadProcessMemory or WriteProcessMemory request was completed."},
    {487, "Attempt to access invalid address."},
    {534, "Arithmetic result exceeded 32 bits."},
    {535, "There is a process on other end of the pipe."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {997, "Overlapped I/O operation is in progress."},
    {998, "Invalid access to memory location."},
    {1004, "Invalid flags."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1015,
     "The registry is corrupted. The structure of one of the files containing registry data is corrupted, or the "
     "system's memory image of the file is corrupted, or the file could not be recovered because the alternate copy "
     "or log was absent or corrupted."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page."},
    {1114, "A dynamic link library (DLL) initialization routine failed."},
    {1150, "The specified program requires a newer version of Windows."},
    {1158, "The current process has used all of its system allowance of handles for Window Manager objects."},
    {1168, "Element not found."},
    {1300, "Not all privileges or groups referenced are assigned to the caller."},
    {1314, "A required privilege is not held by the client."},
    {1400, "Invalid window handle."},
    {1407, "Cannot find window class."},
    {1408, "Invalid window; it belongs to other thread."},
    {1410, "Class already exists."},
    {1411, "Class does not exist."},
    {1444, "Invalid thread identifier."},
    {1450, "Insufficient system resources exist to complete the requested service."},
    {1460, "This operation returned because the timeout period expired."},
    {1804, "The specified datatype is invalid."},
    {1812, "The specified image file did not contain a resource section."},
    {1813, "The specified resource type cannot be found in the image file."},
    {1814, "The specified resource name cannot be found in the image file."},
    {1815, "The specified resource language ID cannot be found in the image file."},
    {1816, "Not enough quota is available to process this command."},
    // HRESULTs of the trust, certificate and hash services.
    {0x800B0001, "Unknown trust provider."},
    {0x800B0002, "The trust verification action specified is not supported by the specified trust provider."},
    {0x800B0003, "The form specified for the subject is not one supported or known by the specified trust provider."},
    {0x800B0004, "The subject is not trusted for the specified action."},
    {0x800B0100, "No signature was present in the subject."},
    {0x800B0101,
     "A required certificate is not within its validity period when verifying against the current system clock or "
     "the timestamp in the signed file."},
    {0x800B0109,
     "A certificate chain processed, but terminated in a root certificate which is not trusted by the trust "
     "provider."},
    {0x800B010A, "A certificate chain could not be built to a trusted root authority."},
    {0x800B010C, "A certificate was explicitly revoked by its issuer."},
    {0x80096002, "The certificate for the signer of the message is invalid or not found."},
    {0x80096010, "The digital signature of the object did not verify."},
    {0x800B0110, "The certificate is not valid for the requested usage."},
    {0x80092003, "An error occurred while reading or writing to a file."},
    {0x80096004, "The signature of the certificate cannot be verified."},
    {0x8009200B, "The certificate does not have a property that references a private key."},
    {0x8009200E, "The signed cryptographic message does not have a signer for the specified signer index."},
    {0x8009310B, "ASN1 bad tag value met."},
    {0x80091007, "The hash value is not correct."},
    {0x80090001, "Bad UID."},
    {0x80090002, "Bad Hash."},
    {0x80090003, "Bad Key."},
    {0x80090004, "Bad Length."},
    {0x80090008, "Invalid algorithm specified."},
    {0x80090009, "Invalid flags specified."},
    {0x8009000A, "Invalid type specified."},
    {0x8009000C, "Hash not valid for use in specified state."},
    {0x8009000E, "Insufficient memory available for the operation."},
    {0x80090014, "Invalid provider type specified."},
    {0x80090016, "Keyset does not exist"},
    {0x80004001, "Not implemented"},
    {0x80004005, "Unspecified error"},
};

const char* FindText(DWORD code) {
    for (const auto& message : kMessages)
        if (message.code == code) return message.text;
    // A Win32 code wrapped as an HRESULT reads as the code itself.
    if ((code & 0xFFFF0000u) == 0x80070000u) return FindText(code & 0xFFFF);
    return nullptr;
}

bool IsEnglishOrNeutral(DWORD languageId) {
    if (languageId == 0) return true;
    DWORD primary = languageId & 0x3FF;
    return primary == LANG_NEUTRAL || primary == 0x09;
}

}  // namespace

// Served as the product calls it: the system table with inserts ignored, the
// line end kept or (FORMAT_MESSAGE_MAX_WIDTH_MASK) turned into a blank. Other
// sources, inserts, widths and FORMAT_MESSAGE_ALLOCATE_BUFFER are not served.
ZRWINAPI DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD languageId, LPSTR buffer,
                                    DWORD size, va_list*) {
    constexpr DWORD kRequired = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    const DWORD width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
    if ((flags & ~(kRequired | FORMAT_MESSAGE_MAX_WIDTH_MASK)) != 0 || (flags & kRequired) != kRequired ||
        (width != 0 && width != FORMAT_MESSAGE_MAX_WIDTH_MASK)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    if (!buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!IsEnglishOrNeutral(languageId)) {
        SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
        return 0;
    }
    const char* text = FindText(messageId);
    if (!text) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    const std::string message = std::string(text) + (width ? " " : "\r\n");
    if (message.size() + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, message.c_str(), message.size() + 1);
    return (DWORD)message.size();
}
