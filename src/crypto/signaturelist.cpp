#include "signaturelist.h"

namespace {

const char kHexDigits[] = "0123456789abcdef";

bool isLowerHex(const std::string& text, std::size_t length)
{
    return text.size() == length && text.find_first_not_of(kHexDigits) == std::string::npos;
}

std::string toHex(const unsigned char* data, std::size_t length)
{
    std::string hex;
    for (std::size_t i = 0; i < length; ++i) {
        hex += kHexDigits[data[i] >> 4];
        hex += kHexDigits[data[i] & 15];
    }
    return hex;
}

unsigned char hexValue(char digit)
{
    return static_cast<unsigned char>(digit <= '9' ? digit - '0' : digit - 'a' + 10);
}

// Splits `line` at single spaces into exactly three non-empty fields.
bool splitFields(const std::string& line, std::string fields[3])
{
    std::size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        const std::size_t space = line.find(' ', start);
        const bool last = i == 2;
        if (last != (space == std::string::npos))
            return false;
        fields[i] = line.substr(start, last ? std::string::npos : space - start);
        if (fields[i].empty())
            return false;
        start = space + 1;
    }
    return true;
}

bool isAlgorithmName(const std::string& name)
{
    return name.size() <= 32
           && name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") == std::string::npos;
}

} // namespace

void SignatureList::add(const std::string& keyId, const ed25519::Signature& signature)
{
    m_Entries.push_back(Entry{keyId, signature});
}

std::string SignatureList::render() const
{
    std::string text = std::string(kHeader) + "\n";
    for (const Entry& entry : m_Entries)
        text += "ed25519 " + entry.keyId + " " + toHex(entry.signature.data(), entry.signature.size()) + "\n";
    return text;
}

bool SignatureList::parse(const std::string& text, SignatureList& list, std::string& reason)
{
    list.m_Entries.clear();
    SignatureList parsed;
    if (text.size() > kMaxSize) {
        reason = "the signature list has more than " + std::to_string(kMaxSize) + " bytes";
        return false;
    }
    if (text.empty() || text.back() != '\n') {
        reason = "the signature list does not end in a line feed";
        return false;
    }
    std::size_t start = 0;
    for (std::size_t number = 1; start < text.size(); ++number) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const std::string where = "line " + std::to_string(number) + " of the signature list";
        if (number == 1) {
            if (line != kHeader) {
                reason = "the signature list does not start with \"" + std::string(kHeader) + "\"";
                return false;
            }
            continue;
        }
        std::string fields[3];
        if (!splitFields(line, fields) || !isAlgorithmName(fields[0])) {
            reason = where + " is not \"<algorithm> <key id> <signature>\"";
            return false;
        }
        if (number - 1 > kMaxEntries) {
            reason = "the signature list has more than " + std::to_string(kMaxEntries) + " entries";
            return false;
        }
        if (fields[0] != "ed25519")
            continue;
        Entry entry;
        if (!isLowerHex(fields[1], 16) || !isLowerHex(fields[2], 2 * entry.signature.size())) {
            reason = where + " holds a malformed Ed25519 key id or signature";
            return false;
        }
        entry.keyId = fields[1];
        for (std::size_t i = 0; i < entry.signature.size(); ++i)
            entry.signature[i] =
                static_cast<unsigned char>(hexValue(fields[2][2 * i]) << 4 | hexValue(fields[2][2 * i + 1]));
        parsed.m_Entries.push_back(entry);
    }
    list = parsed;
    return true;
}

SignatureList::Verdict SignatureList::verify(const std::vector<ed25519::PublicKey>& trusted,
                                             const unsigned char* data, std::size_t length,
                                             std::string& keyId) const
{
    Verdict verdict = Verdict::Untrusted;
    for (const ed25519::PublicKey& key : trusted) {
        const std::string id = ed25519::keyId(key);
        for (const Entry& entry : m_Entries) {
            if (entry.keyId != id)
                continue;
            if (ed25519::verify(key, data, length, entry.signature)) {
                keyId = id;
                return Verdict::Valid;
            }
            verdict = Verdict::Invalid;
        }
    }
    return verdict;
}
