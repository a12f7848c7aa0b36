#pragma once
// Signatures of update files: RSASSA-PSS (PKCS #1 v2.1) with SHA-1 for the
// digest and for MGF1 and an 8-byte salt, over the SHA-1 of the whole data;
// a signature is exactly as long as the modulus (128 bytes for our 1024-bit
// keys, exponent 65537). Keys travel as DER PKCS #1 RSAPublicKey (140 bytes)
// and RSAPrivateKey.
//
// A thin wrapper over libtomcrypt with libtommath for big numbers. It has no
// Qt, so the publisher's tool signs with the very code the updater verifies
// with. Every library failure throws crypt_exception "<operation>: <library
// text>"; callers inside the updater turn it into a failed check.
//
// initCrypto() must have run before any other call; it may be called again
// and from any thread. Afterwards the operations only read shared tables, so
// several may run at once on different keys.

#include <exception>
#include <string>
#include <vector>

struct Rsa_key;

class crypt_exception final : public std::exception
{
public:
    explicit crypt_exception(std::string what);
    const char* what() const noexcept override;

private:
    std::string m_What;
};

// One RSA key, public or private, released with its holder.
class RsaKey final
{
public:
    RsaKey();
    ~RsaKey();
    RsaKey(const RsaKey&) = delete;
    RsaKey& operator=(const RsaKey&) = delete;

    bool isLoaded() const;
    bool isPrivate() const;
    // Size of the modulus in bytes, which is also the signature length.
    unsigned long modulusSize() const;

    // For the wrapper: the library's key; loading marks it loaded.
    Rsa_key* key();
    void setLoaded();
    void clear();

private:
    Rsa_key* m_Key;
    bool m_Loaded;
};

void initCrypto();

// Imports a DER key (public or private); reads the leading DER structure
// only, so `length` may cover zero padding after it.
void importPublicKey(RsaKey& key, const unsigned char* data, unsigned long length);
// Like importPublicKey, but the key must have its private half.
void importPrivateKey(RsaKey& key, const unsigned char* data, unsigned long length);

// True when `signature` is a valid signature of `data`; throws when the
// signature is malformed (for example of the wrong length).
bool verifySignature(RsaKey& key, const unsigned char* data, unsigned long dataLength,
                     const unsigned char* signature, unsigned long signatureLength);

// Signs `data` into `out`; *outLength: the room in `out` in, the signature's
// length out.
void signData(RsaKey& key, const unsigned char* data, unsigned long dataLength,
              unsigned char* out, unsigned long* outLength);

// A new 1024-bit key pair with exponent 65537.
void makeKey(RsaKey& key);

std::vector<unsigned char> exportPublicKey(RsaKey& key);
std::vector<unsigned char> exportPrivateKey(RsaKey& key);
