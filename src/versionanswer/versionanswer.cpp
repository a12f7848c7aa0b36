#include "versionanswer.h"

#include <cstring>

namespace versionanswer {

namespace {

const char* const kSignedKey = "signed=";
const char* const kExpiresKey = "expires=";
const char* const kKeyKey = "key=";
const char* const kSigKey = "sig=";
const std::size_t kChannelCount = 3;

std::vector<std::string> splitEntries(const std::string& text)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos)
            return parts;
        start = comma + 1;
    }
}

bool startsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool isSignatureEntry(const std::string& entry)
{
    for (const char* key : {kSignedKey, kExpiresKey, kKeyKey, kSigKey}) {
        if (startsWith(entry, key))
            return true;
    }
    return false;
}

// The value of `entry` after `prefix`, when it starts so.
bool valueOf(const std::string& entry, const char* prefix, std::string* value)
{
    if (!startsWith(entry, prefix))
        return false;
    *value = entry.substr(std::strlen(prefix));
    return true;
}

bool parseSeconds(const std::string& text, std::int64_t* seconds)
{
    if (text.empty() || text.size() > 12)
        return false;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    *seconds = value;
    return true;
}

std::string toHex(const unsigned char* bytes, std::size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

bool fromHex(const std::string& text, unsigned char* bytes, std::size_t length)
{
    if (text.size() != 2 * length)
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        int byte = 0;
        for (std::size_t k = 0; k < 2; ++k) {
            const char c = text[2 * i + k];
            int digit = -1;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            if (digit < 0)
                return false;
            byte = byte * 16 + digit;
        }
        bytes[i] = static_cast<unsigned char>(byte);
    }
    return true;
}

std::string signedMessage(const std::string& signedPart)
{
    return std::string(kDomain) + signedPart;
}

Check invalid(const std::string& reason)
{
    Check check;
    check.status = Status::Invalid;
    check.reason = reason;
    return check;
}

} // namespace

bool sign(const std::string& channels, std::int64_t signedAt, std::int64_t expires,
          const ed25519::SecretKey& key, const ed25519::PublicKey& publicKey, std::string* reply,
          std::string* reason)
{
    const std::vector<std::string> entries = splitEntries(channels);
    if (entries.size() != kChannelCount) {
        *reason = "the version list has " + std::to_string(entries.size())
                  + " entries; a signed one has exactly 3 (stable, beta, alpha)";
        return false;
    }
    for (const std::string& entry : entries) {
        if (isSignatureEntry(entry)) {
            *reason = "the entry '" + entry + "' looks like a signature entry";
            return false;
        }
    }
    if (signedAt < 0 || expires <= signedAt || expires > 999999999999) {
        *reason = "the expiry must come after the signing time";
        return false;
    }
    const std::string signedPart = channels + "," + kSignedKey + std::to_string(signedAt) + "," + kExpiresKey
                                   + std::to_string(expires) + "," + kKeyKey + ed25519::keyId(publicKey);
    const std::string message = signedMessage(signedPart);
    const ed25519::Signature signature =
        ed25519::sign(key, reinterpret_cast<const unsigned char*>(message.data()), message.size());
    const std::string text = signedPart + "," + kSigKey + toHex(signature.data(), signature.size());
    if (text.size() > kReplyLimit) {
        *reason = "the signed version list is " + std::to_string(text.size())
                  + " bytes; the updater reads at most " + std::to_string(kReplyLimit);
        return false;
    }
    *reply = text;
    return true;
}

Check verify(const std::string& reply, const std::vector<ed25519::PublicKey>& keys, std::int64_t now)
{
    const std::vector<std::string> entries = splitEntries(reply);
    bool anySignatureEntry = false;
    for (std::size_t i = kChannelCount; i < entries.size(); ++i)
        anySignatureEntry = anySignatureEntry || isSignatureEntry(entries[i]);
    if (!anySignatureEntry)
        return Check();

    Check check;
    std::string signedAt;
    std::string expires;
    std::string keyId;
    std::string signatureHex;
    if (entries.size() != kChannelCount + 4 || !valueOf(entries[3], kSignedKey, &signedAt)
        || !valueOf(entries[4], kExpiresKey, &expires) || !valueOf(entries[5], kKeyKey, &keyId)
        || !valueOf(entries[6], kSigKey, &signatureHex) || !parseSeconds(signedAt, &check.signedAt)
        || !parseSeconds(expires, &check.expires))
        return invalid("its signature entries are malformed");
    ed25519::Signature signature;
    if (!fromHex(signatureHex, signature.data(), signature.size()))
        return invalid("its signature entries are malformed");

    const ed25519::PublicKey* key = nullptr;
    for (const ed25519::PublicKey& candidate : keys) {
        if (ed25519::keyId(candidate) == keyId)
            key = &candidate;
    }
    if (!key)
        return invalid("it is signed with an unknown key " + keyId);
    const std::string message = signedMessage(reply.substr(0, reply.rfind(',')));
    if (!ed25519::verify(*key, reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                         signature))
        return invalid("its signature is not valid");
    if (check.expires <= check.signedAt)
        return invalid("it expires before it was signed");
    if (now >= check.expires) {
        check.status = Status::Expired;
        check.reason = "it expired " + std::to_string(now - check.expires) + " seconds ago";
        return check;
    }
    check.status = Status::Valid;
    return check;
}

std::string channelEntries(const std::string& reply)
{
    const std::vector<std::string> entries = splitEntries(reply);
    std::string channels;
    for (std::size_t i = 0; i < kChannelCount; ++i) {
        if (i != 0)
            channels += ",";
        if (i < entries.size())
            channels += entries[i];
    }
    return channels;
}

} // namespace versionanswer
