// Code-signing verification of module files: the platform's Authenticode
// trust of the file and the signer's display name against the expected
// publisher.
#pragma once

#include <string>

#include "platform/platform.h"

// The publisher whose signature a module must carry; all its letters must
// match.
constexpr const char* kExpectedPublisher = "VORLANDIXPERTHOLME";
constexpr int kExpectedPublisherLetters = 18;

// Element kinds of GetCertificateElement.
constexpr int kCertificateElementSubjectName = 1;

// The whole test: trusted signature and the expected publisher.
bool CheckSignature(const char* path);

// Platform trust of the file (WinVerifyTrust); expired signer certificates and
// chains to untrusted roots are accepted.
bool xCheckAuthenticodeA(const char* path);
bool xCheckAuthenticodeW(const wchar_t* path);
// The same check through a named library and entry point; the log lines keep
// the names of the real service. Lets tests take the paths where the service
// is missing.
bool CheckAuthenticodeThrough(const wchar_t* path, const char* library, const char* entryPoint);

// The signer's display name from the file's one certificate-table entry.
bool GetSubjectName(const char* path, std::string& name);
bool GetCertificateElement(const char* path, int element, std::string& out);
bool GetSubject_FriendlyName(PCCERT_CONTEXT certificate, std::string& out);

// Whether a and b agree letter by letter, non-letters skipped, until both end
// or `count` letters matched; letters and case as the ANSI code page has them.
bool MatchLetters(const char* a, const char* b, int count, bool caseSensitive);
