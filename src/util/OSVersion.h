// The OS version code and the 64-bit-Windows test. Nothing here logs, so the
// log facility can ask for the version without depending on itself.
#pragma once

#include "platform/platform.h"

bool IsWow64();
int GetOSVersionCode();
bool IsVersionAtLeast6();

// The classification of GetOSVersionCode from one version record, testable
// with any record. hasProductType is false for the basic (148-byte) record.
int OSVersionCodeFrom(DWORD platformId, DWORD major, DWORD minor, BYTE productType, bool hasProductType);
