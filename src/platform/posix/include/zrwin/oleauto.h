// oleaut32: BSTR strings with the Windows layout. A BSTR points at the text;
// the 32-bit byte length of the text (without terminator) sits in the four
// bytes before it, and the text is followed by a zero character. Plug-in
// modules allocate their answers here and the host frees them here, so both
// sides must use this one allocator.
#pragma once

#include "zrwin/types.h"
#include "zrwin/winerror.h"

typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR* BSTR;

// Null for a null text or when memory runs out.
ZRWINAPI BSTR WINAPI SysAllocString(const OLECHAR* text);
// length characters; a null text gives a zero-filled string of that length.
ZRWINAPI BSTR WINAPI SysAllocStringLen(const OLECHAR* text, UINT length);
// Characters (not bytes); 0 for null. Embedded zeros are counted.
ZRWINAPI UINT WINAPI SysStringLen(BSTR text);
// Null is allowed and does nothing.
ZRWINAPI void WINAPI SysFreeString(BSTR text);
