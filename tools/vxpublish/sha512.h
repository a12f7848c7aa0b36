#pragma once
// SHA-512 digests as the product ini states them: 128 lowercase hex digits.
// The updater compares them ignoring case, so lowercase is only our habit.

#include <cstddef>
#include <memory>
#include <string>

namespace vxpublish {

// A digest fed piece by piece, for data that is never held whole.
class Sha512 final
{
public:
    Sha512();
    ~Sha512();
    Sha512(const Sha512&) = delete;
    Sha512& operator=(const Sha512&) = delete;
    void add(const void* data, std::size_t size);
    void add(const std::string& text) { add(text.data(), text.size()); }
    // Ends the digest; the object is spent afterwards.
    std::string hex();

private:
    struct State;
    std::unique_ptr<State> m_State;
};

// Hashes the whole file; false with a one-line reason naming it when it
// cannot be read.
bool sha512OfFile(const std::string& path, std::string& hex, std::string& reason);

// The digest of a text.
std::string sha512OfText(const std::string& text);

} // namespace vxpublish
