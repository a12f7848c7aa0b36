#pragma once
// Patches and containers of earlier runs of `vxpublish release`, so that a
// release that was interrupted or is made again does not make them anew.
//
// An entry is named by a key: the SHA-512 of what it was made from (the
// hashes of the old and the new file, the kind of artifact, the options that
// change its bytes) and of the generator, the vxpublish program itself, so
// that a rebuilt engine never serves bytes an older one made. An entry holds
// a header line with the SHA-512 and size of its body, then the body. Entries are
// written to a temporary file and renamed, so a killed run leaves either no
// entry or a whole one, and a damaged entry (its body does not match its
// header) is removed and counts as absent. Several runs may share one cache.
// The header only guards against damage: whoever can write the cache can
// write a whole entry with a header to match, so callers check every entry
// they fetch against what it must give (releasefile.h) and discard one that
// does not.
// A refusal of the engine is not kept: it may have been for want of memory.

#include <cstdint>
#include <initializer_list>
#include <string>

namespace vxpublish {

class ArtifactCache final
{
public:
    // `generator` identifies the code that makes entries (generatorIdentity()).
    ArtifactCache(std::string dir, std::string generator);

    // Creates the directory and removes temporary files of runs that were
    // killed. False with a one-line reason when the cache cannot be used.
    bool open(std::string& reason);

    std::string key(const std::string& kind, std::initializer_list<std::string> inputs) const;

    // True when the entry was whole and its body is now the new file
    // `target`; otherwise no `target` is left behind and a damaged entry is gone.
    bool fetch(const std::string& key, const std::string& target) const;

    // Removes the entry, if there is one.
    void discard(const std::string& key) const;

    // Stores a copy of the file `body` under `key`.
    bool store(const std::string& key, const std::string& body, std::string& reason) const;

    const std::string& dir() const { return m_Dir; }

private:
    std::string m_Dir;
    std::string m_Generator;
};

// The SHA-512 of the running program; false with a reason when it cannot be read.
bool generatorIdentity(std::string& identity, std::string& reason);

} // namespace vxpublish
