// advapi32 CryptoAPI: the MD5 hash service (OpenSSL underneath).
#pragma once

#include "zrwin/types.h"
#include "zrwin/winerror.h"

#define PROV_RSA_FULL 1
#define PROV_RSA_AES 24
#define CRYPT_VERIFYCONTEXT 0xF0000000
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_MACHINE_KEYSET 0x00000020
#define CRYPT_SILENT 0x00000040
#define ALG_CLASS_HASH (4 << 13)
#define ALG_TYPE_ANY 0
#define ALG_SID_MD5 3
#define ALG_SID_SHA1 4
#define ALG_SID_SHA_256 12
#define CALG_MD5 (ALG_CLASS_HASH | ALG_TYPE_ANY | ALG_SID_MD5)
#define CALG_SHA1 (ALG_CLASS_HASH | ALG_TYPE_ANY | ALG_SID_SHA1)
#define CALG_SHA_256 (ALG_CLASS_HASH | ALG_TYPE_ANY | ALG_SID_SHA_256)
#define HP_ALGID 0x0001
#define HP_HASHVAL 0x0002
#define HP_HASHSIZE 0x0004

ZRWINAPI BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* provider, LPCSTR container, LPCSTR providerName,
                                         DWORD providerType, DWORD flags);
ZRWINAPI BOOL WINAPI CryptReleaseContext(HCRYPTPROV provider, DWORD flags);
ZRWINAPI BOOL WINAPI CryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY key, DWORD flags,
                                    HCRYPTHASH* hash);
ZRWINAPI BOOL WINAPI CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD flags);
ZRWINAPI BOOL WINAPI CryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* length, DWORD flags);
ZRWINAPI BOOL WINAPI CryptDestroyHash(HCRYPTHASH hash);

// Results of the hash service not used elsewhere in the layer.
#ifndef NTE_BAD_KEY
#define NTE_BAD_KEY ((HRESULT)0x80090003L)
#endif
#ifndef NTE_BAD_LEN
#define NTE_BAD_LEN ((HRESULT)0x80090004L)
#endif
#ifndef NTE_BAD_HASH_STATE
#define NTE_BAD_HASH_STATE ((HRESULT)0x8009000CL)
#endif
#ifndef NTE_NO_MEMORY
#define NTE_NO_MEMORY ((HRESULT)0x8009000EL)
#endif
#ifndef NTE_BAD_KEYSET
#define NTE_BAD_KEYSET ((HRESULT)0x80090016L)
#endif
#ifndef NTE_BAD_KEYSET_PARAM
#define NTE_BAD_KEYSET_PARAM ((HRESULT)0x8009001FL)
#endif
