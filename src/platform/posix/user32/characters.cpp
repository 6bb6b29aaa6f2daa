// The character functions of user32 over the ANSI code page: letters and
// upper case, through the C.UTF-8 locale where the system has it.
#include <locale.h>
#include <wctype.h>

#include "kernel32/codepages.h"
#include "zrwin/sysinfo.h"

namespace {

locale_t UnicodeLocale() {
    static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    return locale;
}

bool IsLatinLetter(wchar_t c) {
    if ((c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z')) return true;
    if (c == 0xAA || c == 0xB5 || c == 0xBA) return true;
    if (c >= 0xC0 && c <= 0xFF && c != 0xD7 && c != 0xF7) return true;
    return c == 0x0160 || c == 0x0161 || c == 0x0152 || c == 0x0153 || c == 0x017D || c == 0x017E ||
           c == 0x0178 || c == 0x0192;
}

bool IsWideAlpha(wchar_t c) {
    if (locale_t locale = UnicodeLocale()) return iswalpha_l((wint_t)c, locale) != 0;
    return IsLatinLetter(c);
}

wchar_t WideUpper(wchar_t c) {
    if (locale_t locale = UnicodeLocale()) return (wchar_t)towupper_l((wint_t)c, locale);
    if (c >= L'a' && c <= L'z') return c - 32;
    return c;
}

// The upper case of one byte of the ANSI code page, kept when the upper-case
// character has no single-byte form (as for ß and µ in 1252).
char UpperAnsi(char c) {
    UINT acp = GetACP();
    unsigned char byte = (unsigned char)c;
    if (byte < 0x80) return (byte >= 'a' && byte <= 'z') ? (char)(byte - 32) : c;
    if (acp == 1252) {
        int upper = zrwin::Encode1252(WideUpper(zrwin::Decode1252(byte)));
        return upper < 0 ? c : (char)upper;
    }
    wchar_t wide = 0;
    if (MultiByteToWideChar(CP_ACP, 0, &c, 1, &wide, 1) != 1) return c;
    wchar_t upper = WideUpper(wide);
    char out[4];
    BOOL used = FALSE;
    if (WideCharToMultiByte(CP_ACP, 0, &upper, 1, out, sizeof out, nullptr, &used) != 1 || used) return c;
    return out[0];
}

}  // namespace

ZRWINAPI BOOL WINAPI IsCharAlphaA(CHAR ch) {
    wchar_t wide = 0;
    if (MultiByteToWideChar(CP_ACP, 0, &ch, 1, &wide, 1) != 1) return FALSE;
    return IsWideAlpha(wide) ? TRUE : FALSE;
}

ZRWINAPI DWORD WINAPI CharUpperBuffA(LPSTR text, DWORD length) {
    if (!text) return 0;
    for (DWORD i = 0; i < length; ++i) text[i] = UpperAnsi(text[i]);
    return length;
}
