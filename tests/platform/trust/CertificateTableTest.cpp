// The file's certificate table through imagehlp, and its signed message
// through crypt32, at the edges the host's reading of a good module does not
// meet (that is the signature check's test).
#include <openssl/evp.h>
#include <openssl/pkcs7.h>

#include <cstring>
#include <vector>

#include "TrustFixture.h"
#include "support/FailsWith.h"
#include "platform/platform.h"
#include "util/ScopedHandle.h"

namespace {

namespace pki = zrtest::pki;

// A module file opened as the host opens it.
struct OpenFile : ScopedKernelHandle {
    explicit OpenFile(const char* path)
        : ScopedKernelHandle(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS, nullptr)),
          handle(Get()) {}
    HANDLE handle;
};

std::string Bytes(const void* data, size_t length) { return std::string(static_cast<const char*>(data), length); }

class CertificateTable : public trusttest::TrustTest {
protected:
    // The signed message of entry 0 (the entry after its 8-byte header), read as the host reads it.
    static std::vector<BYTE> MessageOf(const char* path) {
        OpenFile file(path);
        WIN_CERTIFICATE header = {};
        if (!ImageGetCertificateHeader(file.handle, 0, &header)) return {};
        std::vector<BYTE> entry(header.dwLength + 12);
        DWORD length = header.dwLength;
        if (!ImageGetCertificateData(file.handle, 0, reinterpret_cast<LPWIN_CERTIFICATE>(entry.data()), &length))
            return {};
        return length > 8 ? std::vector<BYTE>(entry.begin() + 8, entry.begin() + length) : std::vector<BYTE>{};
    }
    static BOOL Verify(const std::vector<BYTE>& message, BYTE* content, DWORD* size, PCCERT_CONTEXT* signer,
                       DWORD index = 0, DWORD paraSize = sizeof(CRYPT_VERIFY_MESSAGE_PARA)) {
        CRYPT_VERIFY_MESSAGE_PARA para = {};
        para.cbSize = paraSize;
        para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
        return CryptVerifyMessageSignature(&para, index, message.data(), DWORD(message.size()), content, size, signer);
    }
    // The verified signer of a module signed by `signer`.
    PCCERT_CONTEXT SignerOf(const pki::Identity& signer) {
        SignedModule("named.dll", signer);
        PCCERT_CONTEXT certificate = nullptr;
        EXPECT_TRUE(Verify(MessageOf("named.dll"), nullptr, nullptr, &certificate));
        return certificate;
    }
    std::string DisplayName(const pki::Identity& signer) {
        PCCERT_CONTEXT certificate = SignerOf(signer);
        if (!certificate) return "<not verified>";
        char name[260];
        DWORD length = CertGetNameStringA(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 260);
        EXPECT_EQ(length, std::strlen(name) + 1);
        CertFreeCertificateContext(certificate);
        return name;
    }
};

TEST_F(CertificateTable, EntriesTheirHeadersAndTheirData) {
    SignedModule("one.dll", Pki().signer);
    SignedModule("two.dll", Pki().signer);
    ASSERT_TRUE(pki::SignFile("two.dll", Pki().strangerSigner));
    auto count = [](const char* path, WORD type) {
        DWORD count = 99;
        return ImageEnumerateCertificates(OpenFile(path).handle, type, &count, nullptr, 0) ? count : DWORD(-1);
    };
    EXPECT_EQ(count("one.dll", WIN_CERT_TYPE_X509), 0u);
    OpenFile file("two.dll");
    DWORD entries = 0, indices[4] = {7, 7, 7, 7};
    ASSERT_TRUE(ImageEnumerateCertificates(file.handle, WIN_CERT_TYPE_PKCS_SIGNED_DATA, &entries, indices, 1));
    EXPECT_EQ(entries, 2u);
    EXPECT_EQ(indices[0], 0u);
    EXPECT_EQ(indices[1], 7u);  // beyond the room given
    EXPECT_FAILS_WITH(ImageEnumerateCertificates(file.handle, CERT_SECTION_TYPE_ANY, nullptr, nullptr, 0), FALSE,
                      ERROR_INVALID_PARAMETER);

    WIN_CERTIFICATE header = {};
    header.wRevision = WIN_CERT_REVISION_1_0;
    ASSERT_TRUE(ImageGetCertificateHeader(file.handle, 0, &header));
    EXPECT_EQ(header.wRevision, WIN_CERT_REVISION_2_0);
    EXPECT_EQ(header.wCertificateType, WIN_CERT_TYPE_PKCS_SIGNED_DATA);
    // Too small a buffer: the length needed and ERROR_INSUFFICIENT_BUFFER.
    std::vector<BYTE> buffer(header.dwLength);
    auto* entry = reinterpret_cast<LPWIN_CERTIFICATE>(buffer.data());
    DWORD length = header.dwLength - 1;
    EXPECT_FAILS_WITH(ImageGetCertificateData(file.handle, 0, entry, &length), FALSE, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, header.dwLength);
    ASSERT_TRUE(ImageGetCertificateData(file.handle, 0, entry, &length));
    EXPECT_EQ(entry->dwLength, header.dwLength);
    EXPECT_EQ(entry->wRevision, WIN_CERT_REVISION_2_0);
    EXPECT_FALSE(ImageGetCertificateHeader(file.handle, 2, &header));
    length = 0;
    EXPECT_FALSE(ImageGetCertificateData(file.handle, 2, nullptr, &length));
    EXPECT_FALSE(ImageGetCertificateHeader(reinterpret_cast<HANDLE>(0x7FFFFFF0), 0, &header));
}

TEST_F(CertificateTable, MessageVerificationGivesContentAndSigner) {
    SignedModule("module.dll", Pki().signer);
    const std::vector<BYTE> message = MessageOf("module.dll");
    ASSERT_FALSE(message.empty());

    // The content is the SHA-256 digest of the module before its table.
    DWORD size = 0;
    ASSERT_TRUE(Verify(message, nullptr, &size, nullptr));
    ASSERT_EQ(size, 32u);
    BYTE content[32];
    size = 16;
    EXPECT_FAILS_WITH(Verify(message, content, &size, nullptr), FALSE, ERROR_MORE_DATA);
    size = sizeof content;
    ASSERT_TRUE(Verify(message, content, &size, nullptr));
    std::string original = ReadAll("module.dll").substr(0, 4096);
    unsigned char digest[32];
    ASSERT_EQ(EVP_Digest(original.data(), original.size(), digest, nullptr, EVP_sha256(), nullptr), 1);
    EXPECT_EQ(Bytes(content, 32), Bytes(digest, 32));

    // The signer comes back with its DER encoding; no chain check here.
    PCCERT_CONTEXT certificate = nullptr;
    ASSERT_TRUE(Verify(message, nullptr, nullptr, &certificate));
    ASSERT_NE(certificate, nullptr);
    EXPECT_EQ(certificate->dwCertEncodingType, DWORD(X509_ASN_ENCODING));
    ASSERT_EQ(certificate->cbCertEncoded, DWORD(i2d_X509(Pki().signer.certificate.get(), nullptr)));
    EXPECT_EQ(certificate->pbCertEncoded[0], 0x30);
    EXPECT_TRUE(CertFreeCertificateContext(certificate));
    EXPECT_TRUE(CertFreeCertificateContext(nullptr));

    // Another signer index, a damaged message, garbage, wrong parameters.
    EXPECT_FAILS_WITH(Verify(message, nullptr, nullptr, &certificate, 1), FALSE, CRYPT_E_NO_SIGNER);
    EXPECT_EQ(certificate, nullptr);
    std::vector<BYTE> damaged = message;
    damaged[damaged.size() - 10] ^= 0x40;
    EXPECT_FALSE(Verify(damaged, nullptr, nullptr, &certificate));
    EXPECT_FAILS_WITH(Verify({0x04, 0x03, 1, 2, 3}, nullptr, nullptr, &certificate), FALSE, CRYPT_E_ASN1_BADTAG);
    EXPECT_FAILS_WITH(Verify(message, nullptr, nullptr, &certificate, 0, 4), FALSE, E_INVALIDARG);
}

TEST_F(CertificateTable, DisplayNameFollowsTheWindowsOrderInTheAnsiCodePage) {
    EXPECT_EQ(DisplayName(pki::MakeSigner(Pki().intermediate, {"Common", "Unit", "Org", "a@b.example"})), "Common");
    EXPECT_EQ(DisplayName(pki::MakeSigner(Pki().intermediate, {"", "Unit", "Org", "a@b.example"})), "Unit");
    EXPECT_EQ(DisplayName(pki::MakeSigner(Pki().intermediate, {"", "", "Org", "a@b.example"})), "Org");
    EXPECT_EQ(DisplayName(pki::MakeSigner(Pki().intermediate, {"", "", "", "a@b.example"})), "a@b.example");
    // U+00C9 and U+00FC are single bytes in Windows-1252; U+4E2D has no form.
    EXPECT_EQ(DisplayName(pki::MakeSigner(Pki().intermediate, {"\xC3\x89t\xC3\xBC \xE4\xB8\xAD", "", "", ""})),
              "\xC9t\xFC ?");
}

TEST_F(CertificateTable, NameQueryLengthsAndTruncation) {
    PCCERT_CONTEXT certificate = SignerOf(Pki().signer);
    ASSERT_NE(certificate, nullptr);
    auto name = [&](DWORD type, void* parameter, char* out, DWORD size) {
        return CertGetNameStringA(certificate, type, 0, parameter, out, size);
    };
    EXPECT_EQ(name(CERT_NAME_SIMPLE_DISPLAY_TYPE, nullptr, nullptr, 0), std::strlen("Vorland-IX Pert Holme") + 1);
    char out[32] = "x";
    EXPECT_EQ(name(CERT_NAME_SIMPLE_DISPLAY_TYPE, nullptr, out, 8), 8u);
    EXPECT_STREQ(out, "Vorland");
    // Other kinds of name and the issuer's are not served: an empty name and a reason.
    EXPECT_FAILS_WITH(name(CERT_NAME_EMAIL_TYPE, nullptr, out, sizeof out), 1u, ERROR_NOT_SUPPORTED);
    EXPECT_STREQ(out, "");
    EXPECT_FAILS_WITH(CertGetNameStringA(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, nullptr,
                                         out, sizeof out),
                      1u, ERROR_NOT_SUPPORTED);
    CertFreeCertificateContext(certificate);
}

}  // namespace
