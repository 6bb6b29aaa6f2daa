// The file's certificate table through imagehlp, and its signed message
// through crypt32, as the host reads them.
#include <openssl/evp.h>
#include <openssl/pkcs7.h>

#include <vector>

#include "TrustFixture.h"
#include "platform/platform.h"

namespace {

using trusttest::TrustTest;
namespace pki = zrtest::pki;

class OpenFile {
public:
    explicit OpenFile(const char* path)
        : handle_(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~OpenFile() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_;
};

// The whole entry `index` of the file, read as the host reads it.
std::vector<BYTE> EntryOf(HANDLE file, DWORD index) {
    WIN_CERTIFICATE header = {};
    if (!ImageGetCertificateHeader(file, index, &header)) return {};
    std::vector<BYTE> entry(header.dwLength + 12);
    DWORD length = header.dwLength;
    if (!ImageGetCertificateData(file, index, reinterpret_cast<LPWIN_CERTIFICATE>(entry.data()), &length)) return {};
    entry.resize(length);
    return entry;
}

CRYPT_VERIFY_MESSAGE_PARA VerifyPara() {
    CRYPT_VERIFY_MESSAGE_PARA para = {};
    para.cbSize = sizeof para;
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    return para;
}

// The signer of entry 0 of a module signed by `signer`.
class SignerName : public TrustTest {
protected:
    std::string DisplayName(const pki::Identity& signer, DWORD flags = 0) {
        SignedModule("named.dll", signer);
        OpenFile file("named.dll");
        std::vector<BYTE> entry = EntryOf(file.Get(), 0);
        if (entry.size() <= 8) return "<no entry>";
        CRYPT_VERIFY_MESSAGE_PARA para = VerifyPara();
        PCCERT_CONTEXT certificate = nullptr;
        if (!CryptVerifyMessageSignature(&para, 0, entry.data() + 8, DWORD(entry.size() - 8), nullptr, nullptr,
                                         &certificate))
            return "<not verified>";
        char name[260];
        DWORD length = CertGetNameStringA(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, name, 260);
        std::string result(name);
        EXPECT_EQ(length, result.size() + 1);
        CertFreeCertificateContext(certificate);
        return result;
    }
};

TEST_F(TrustTest, EnumeratesTheEntriesOfTheTable) {
    ASSERT_TRUE(pki::WriteModuleFile("plain.dll"));
    SignedModule("one.dll", Pki().signer);
    SignedModule("two.dll", Pki().signer);
    ASSERT_TRUE(pki::SignFile("two.dll", Pki().strangerSigner));

    DWORD count = 99;
    DWORD indices[4] = {7, 7, 7, 7};
    OpenFile plain("plain.dll");
    ASSERT_NE(plain.Get(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(ImageEnumerateCertificates(plain.Get(), CERT_SECTION_TYPE_ANY, &count, nullptr, 0));
    EXPECT_EQ(count, 0u);

    OpenFile one("one.dll");
    ASSERT_TRUE(ImageEnumerateCertificates(one.Get(), CERT_SECTION_TYPE_ANY, &count, nullptr, 0));
    EXPECT_EQ(count, 1u);
    ASSERT_TRUE(ImageEnumerateCertificates(one.Get(), WIN_CERT_TYPE_X509, &count, nullptr, 0));
    EXPECT_EQ(count, 0u);

    OpenFile two("two.dll");
    ASSERT_TRUE(ImageEnumerateCertificates(two.Get(), WIN_CERT_TYPE_PKCS_SIGNED_DATA, &count, indices, 1));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(indices[0], 0u);
    EXPECT_EQ(indices[1], 7u);  // beyond the room given

    EXPECT_FALSE(ImageEnumerateCertificates(one.Get(), CERT_SECTION_TYPE_ANY, nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(TrustTest, HeaderAndDataOfAnEntry) {
    SignedModule("module.dll", Pki().signer);
    OpenFile file("module.dll");
    WIN_CERTIFICATE header = {};
    header.wRevision = WIN_CERT_REVISION_1_0;
    ASSERT_TRUE(ImageGetCertificateHeader(file.Get(), 0, &header));
    EXPECT_EQ(header.wRevision, WIN_CERT_REVISION_2_0);
    EXPECT_EQ(header.wCertificateType, WIN_CERT_TYPE_PKCS_SIGNED_DATA);
    EXPECT_GT(header.dwLength, 200u);

    // Too small a buffer: the length needed and ERROR_INSUFFICIENT_BUFFER.
    std::vector<BYTE> buffer(header.dwLength);
    DWORD length = header.dwLength - 1;
    EXPECT_FALSE(ImageGetCertificateData(file.Get(), 0, reinterpret_cast<LPWIN_CERTIFICATE>(buffer.data()), &length));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(length, header.dwLength);
    ASSERT_TRUE(ImageGetCertificateData(file.Get(), 0, reinterpret_cast<LPWIN_CERTIFICATE>(buffer.data()), &length));
    auto* entry = reinterpret_cast<LPWIN_CERTIFICATE>(buffer.data());
    EXPECT_EQ(entry->dwLength, header.dwLength);
    EXPECT_EQ(entry->wRevision, WIN_CERT_REVISION_2_0);
    EXPECT_EQ(entry->bCertificate[0], 0x30);  // a DER sequence

    EXPECT_FALSE(ImageGetCertificateHeader(file.Get(), 1, &header));
    length = 0;
    EXPECT_FALSE(ImageGetCertificateData(file.Get(), 1, nullptr, &length));
    EXPECT_FALSE(ImageGetCertificateHeader(reinterpret_cast<HANDLE>(0x7FFFFFF0), 0, &header));
}

TEST_F(TrustTest, MessageVerificationGivesContentAndSigner) {
    SignedModule("module.dll", Pki().signer);
    OpenFile file("module.dll");
    std::vector<BYTE> entry = EntryOf(file.Get(), 0);
    ASSERT_GT(entry.size(), 8u);
    CRYPT_VERIFY_MESSAGE_PARA para = VerifyPara();

    // The content is the SHA-256 digest of the module before its table.
    DWORD needed = 0;
    ASSERT_TRUE(CryptVerifyMessageSignature(&para, 0, entry.data() + 8, DWORD(entry.size() - 8), nullptr, &needed,
                                            nullptr));
    ASSERT_EQ(needed, 32u);
    BYTE content[32];
    DWORD small = 16;
    EXPECT_FALSE(CryptVerifyMessageSignature(&para, 0, entry.data() + 8, DWORD(entry.size() - 8), content, &small,
                                             nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    DWORD size = sizeof content;
    ASSERT_TRUE(CryptVerifyMessageSignature(&para, 0, entry.data() + 8, DWORD(entry.size() - 8), content, &size,
                                            nullptr));
    std::string original = ReadAll("module.dll").substr(0, 4096);
    unsigned char digest[32];
    unsigned int digestLength = 0;
    ASSERT_EQ(EVP_Digest(original.data(), original.size(), digest, &digestLength, EVP_sha256(), nullptr), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(content), 32), std::string(reinterpret_cast<char*>(digest), 32));

    // The signer comes back with its DER encoding; no chain check here.
    PCCERT_CONTEXT certificate = nullptr;
    ASSERT_TRUE(CryptVerifyMessageSignature(&para, 0, entry.data() + 8, DWORD(entry.size() - 8), nullptr, nullptr,
                                            &certificate));
    ASSERT_NE(certificate, nullptr);
    EXPECT_EQ(certificate->dwCertEncodingType, DWORD(X509_ASN_ENCODING));
    int derLength = i2d_X509(Pki().signer.certificate.get(), nullptr);
    ASSERT_EQ(certificate->cbCertEncoded, DWORD(derLength));
    EXPECT_EQ(certificate->pbCertEncoded[0], 0x30);
    EXPECT_TRUE(CertFreeCertificateContext(certificate));
    EXPECT_TRUE(CertFreeCertificateContext(nullptr));

    // Another signer index, a damaged message, wrong parameters.
    EXPECT_FALSE(CryptVerifyMessageSignature(&para, 1, entry.data() + 8, DWORD(entry.size() - 8), nullptr, nullptr,
                                             &certificate));
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NO_SIGNER));
    EXPECT_EQ(certificate, nullptr);
    std::vector<BYTE> damaged(entry.begin() + 8, entry.end());
    damaged[damaged.size() - 10] ^= 0x40;
    EXPECT_FALSE(CryptVerifyMessageSignature(&para, 0, damaged.data(), DWORD(damaged.size()), nullptr, nullptr,
                                             &certificate));
    BYTE garbage[] = {0x04, 0x03, 1, 2, 3};
    EXPECT_FALSE(CryptVerifyMessageSignature(&para, 0, garbage, sizeof garbage, nullptr, nullptr, &certificate));
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_ASN1_BADTAG));
    para.cbSize = 4;
    EXPECT_FALSE(CryptVerifyMessageSignature(&para, 0, entry.data() + 8, DWORD(entry.size() - 8), nullptr, nullptr,
                                             &certificate));
    EXPECT_EQ(GetLastError(), DWORD(E_INVALIDARG));
}

TEST_F(SignerName, DisplayNameFollowsTheWindowsOrder) {
    EXPECT_EQ(DisplayName(pki::MakeSigner(Pki().intermediate, {"Common", "Unit", "Org", "a@b.example"})), "Common");
    EXPECT_EQ(DisplayName(pki::MakeSigner(Pki().intermediate, {"", "Unit", "Org", "a@b.example"})), "Unit");
    EXPECT_EQ(DisplayName(pki::MakeSigner(Pki().intermediate, {"", "", "Org", "a@b.example"})), "Org");
    EXPECT_EQ(DisplayName(pki::MakeSigner(Pki().intermediate, {"", "", "", "a@b.example"})), "a@b.example");
    EXPECT_EQ(DisplayName(Pki().signer, CERT_NAME_ISSUER_FLAG), "Trust Test Code Signing CA");
}

TEST_F(SignerName, NamesComeInTheAnsiCodePage) {
    // U+00C9 and U+00FC are single bytes in Windows-1252; U+4E2D has no form.
    EXPECT_EQ(DisplayName(pki::MakeSigner(Pki().intermediate, {"\xC3\x89t\xC3\xBC \xE4\xB8\xAD", "", "", ""})),
              "\xC9t\xFC ?");
}

TEST_F(TrustTest, NameQueryLengthsAndTruncation) {
    SignedModule("module.dll", Pki().signer);
    OpenFile file("module.dll");
    std::vector<BYTE> entry = EntryOf(file.Get(), 0);
    CRYPT_VERIFY_MESSAGE_PARA para = VerifyPara();
    PCCERT_CONTEXT certificate = nullptr;
    ASSERT_TRUE(CryptVerifyMessageSignature(&para, 0, entry.data() + 8, DWORD(entry.size() - 8), nullptr, nullptr,
                                            &certificate));
    const std::string full = "Vorland-IX Pert Holme";
    EXPECT_EQ(CertGetNameStringA(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0),
              full.size() + 1);
    char small[8];
    EXPECT_EQ(CertGetNameStringA(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, small, sizeof small), 8u);
    EXPECT_STREQ(small, "Vorland");
    char none[16] = "x";
    EXPECT_EQ(CertGetNameStringA(certificate, CERT_NAME_EMAIL_TYPE, 0, nullptr, none, sizeof none), 1u);
    EXPECT_STREQ(none, "");
    char attribute[32];
    EXPECT_EQ(CertGetNameStringA(certificate, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>("2.5.4.10"), attribute,
                                 sizeof attribute),
              8u);
    EXPECT_STREQ(attribute, "VIX Org");
    CertFreeCertificateContext(certificate);
}

TEST(TrustHashMessage, DigestedDataWithOrWithoutTheContent) {
    CRYPT_HASH_MESSAGE_PARA para = {};
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    para.HashAlgorithm.pszObjId = const_cast<char*>(szOID_NIST_sha256);
    const BYTE first[] = {'h', 'e', 'l', 'l', 'o', ' '};
    const BYTE second[] = {'w', 'o', 'r', 'l', 'd'};
    const BYTE* parts[] = {first, second};
    DWORD lengths[] = {sizeof first, sizeof second};
    unsigned char expected[32];
    unsigned int expectedLength = 0;
    ASSERT_EQ(EVP_Digest("hello world", 11, expected, &expectedLength, EVP_sha256(), nullptr), 1);

    for (BOOL detached : {FALSE, TRUE}) {
        DWORD blobLength = 0;
        DWORD hashLength = 0;
        ASSERT_TRUE(CryptHashMessage(&para, detached, 2, parts, lengths, nullptr, &blobLength, nullptr, &hashLength));
        EXPECT_EQ(hashLength, 32u);
        std::vector<BYTE> blob(blobLength);
        BYTE hash[32];
        DWORD small = blobLength - 1;
        EXPECT_FALSE(CryptHashMessage(&para, detached, 2, parts, lengths, blob.data(), &small, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
        EXPECT_EQ(small, blobLength);
        ASSERT_TRUE(
            CryptHashMessage(&para, detached, 2, parts, lengths, blob.data(), &blobLength, hash, &hashLength));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(hash), 32), std::string(reinterpret_cast<char*>(expected), 32));

        const unsigned char* cursor = blob.data();
        PKCS7* message = d2i_PKCS7(nullptr, &cursor, long(blob.size()));
        ASSERT_NE(message, nullptr);
        ASSERT_TRUE(PKCS7_type_is_digest(message));
        const ASN1_OCTET_STRING* digest = message->d.digest->digest;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(digest)), ASN1_STRING_length(digest)),
                  std::string(reinterpret_cast<char*>(expected), 32));
        const ASN1_OCTET_STRING* content = message->d.digest->contents->d.data;
        if (detached) {
            EXPECT_TRUE(content == nullptr || ASN1_STRING_length(content) == 0);
        } else {
            ASSERT_NE(content, nullptr);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(content)),
                                  ASN1_STRING_length(content)),
                      "hello world");
        }
        PKCS7_free(message);
    }

    para.HashAlgorithm.pszObjId = const_cast<char*>("1.2.3.4");
    DWORD length = 0;
    EXPECT_FALSE(CryptHashMessage(&para, FALSE, 2, parts, lengths, nullptr, &length, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_UNKNOWN_ALGO));
}

}  // namespace
