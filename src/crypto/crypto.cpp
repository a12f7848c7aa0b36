#include "crypto.h"

#include <tomcrypt.h>

#include <mutex>

namespace {

const int kKeyBytes = 128;
const long kPublicExponent = 65537;
const unsigned long kSaltLength = 8;

int g_HashIndex = -1;
int g_PrngIndex = -1;

void check(int err, const char* operation)
{
    if (err != CRYPT_OK)
        throw crypt_exception(std::string(operation) + ": " + error_to_string(err));
}

// The library rejects null pointers even for empty input; an empty file is
// still something to hash.
const unsigned char* nonNull(const unsigned char* data)
{
    static const unsigned char empty = 0;
    return data ? data : &empty;
}

std::vector<unsigned char> sha1(const unsigned char* data, unsigned long length)
{
    std::vector<unsigned char> digest(20);
    unsigned long digestLength = digest.size();
    check(hash_memory(g_HashIndex, nonNull(data), length, digest.data(), &digestLength),
          "hash_memory");
    digest.resize(digestLength);
    return digest;
}

void requireKey(RsaKey& key)
{
    if (!key.isLoaded())
        throw crypt_exception("rsa_key: no key loaded");
}

std::vector<unsigned char> exportKey(RsaKey& key, int type)
{
    requireKey(key);
    // A 1024-bit private key is about 610 bytes; the library says if not.
    std::vector<unsigned char> out(4096);
    unsigned long outLength = out.size();
    check(rsa_export(out.data(), &outLength, type, key.key()), "rsa_export");
    out.resize(outLength);
    return out;
}

} // namespace

crypt_exception::crypt_exception(std::string what)
    : m_What(std::move(what))
{
}

const char* crypt_exception::what() const noexcept
{
    return m_What.c_str();
}

RsaKey::RsaKey()
    : m_Key(new Rsa_key())
    , m_Loaded(false)
{
}

RsaKey::~RsaKey()
{
    clear();
    delete m_Key;
}

bool RsaKey::isLoaded() const
{
    return m_Loaded;
}

bool RsaKey::isPrivate() const
{
    return m_Loaded && m_Key->type == PK_PRIVATE;
}

unsigned long RsaKey::modulusSize() const
{
    return m_Loaded ? static_cast<unsigned long>(ltc_mp.unsigned_size(m_Key->N)) : 0;
}

Rsa_key* RsaKey::key()
{
    return m_Key;
}

void RsaKey::setLoaded()
{
    m_Loaded = true;
}

void RsaKey::clear()
{
    if (m_Loaded)
        rsa_free(m_Key);
    m_Loaded = false;
}

void initCrypto()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (register_prng(&sprng_desc) == -1)
            throw crypt_exception("Error registering sha1");
        ltc_mp = ltm_desc;
        if (register_hash(&sha1_desc) == -1)
            throw crypt_exception("Error registering sha1");
        g_HashIndex = find_hash("sha1");
        g_PrngIndex = find_prng("sprng");
        if (g_HashIndex == -1 || g_PrngIndex == -1)
            throw crypt_exception("Error registering sha1");
    });
}

void importPublicKey(RsaKey& key, const unsigned char* data, unsigned long length)
{
    // Without a math provider the library aborts the process instead of
    // returning an error.
    initCrypto();
    key.clear();
    // The library asserts on an empty input (and aborts the process) where
    // it reports every other malformed key as an error.
    if (length == 0)
        check(CRYPT_INVALID_PACKET, "rsa_import");
    check(rsa_import(nonNull(data), length, key.key()), "rsa_import");
    key.setLoaded();
}

void importPrivateKey(RsaKey& key, const unsigned char* data, unsigned long length)
{
    importPublicKey(key, data, length);
    if (!key.isPrivate()) {
        key.clear();
        check(CRYPT_PK_NOT_PRIVATE, "rsa_import");
    }
}

bool verifySignature(RsaKey& key, const unsigned char* data, unsigned long dataLength,
                     const unsigned char* signature, unsigned long signatureLength)
{
    requireKey(key);
    const std::vector<unsigned char> digest = sha1(data, dataLength);
    int valid = 0;
    check(rsa_verify_hash_ex(nonNull(signature), signatureLength, digest.data(), digest.size(),
                             LTC_PKCS_1_PSS, g_HashIndex, kSaltLength, &valid, key.key()),
          "rsa_verify_hash");
    return valid == 1;
}

void signData(RsaKey& key, const unsigned char* data, unsigned long dataLength,
              unsigned char* out, unsigned long* outLength)
{
    requireKey(key);
    const std::vector<unsigned char> digest = sha1(data, dataLength);
    // sprng reads the system's generator and keeps no state of its own.
    prng_state prng{};
    check(rsa_sign_hash_ex(digest.data(), digest.size(), out, outLength, LTC_PKCS_1_PSS, &prng,
                           g_PrngIndex, g_HashIndex, kSaltLength, key.key()),
          "rsa_sign_hash");
}

void makeKey(RsaKey& key)
{
    initCrypto();
    key.clear();
    prng_state prng{};
    check(rsa_make_key(&prng, g_PrngIndex, kKeyBytes, kPublicExponent, key.key()),
          "rsa_make_key");
    key.setLoaded();
}

std::vector<unsigned char> exportPublicKey(RsaKey& key)
{
    return exportKey(key, PK_PUBLIC);
}

std::vector<unsigned char> exportPrivateKey(RsaKey& key)
{
    return exportKey(key, PK_PRIVATE);
}
