#pragma once
// What an installation has come to trust, kept in the installation across
// updates: the version floor (the version the last update installed, from
// its signed product ini), the pin of the signed version answers (the time
// of the newest one seen) and the pin of modern signatures (a release whose
// product ini a trusted Ed25519 key signed was installed). Nothing older or
// less signed than what they record is accepted from the network again.
//
// The file is <installation>/.vx3trust, owner-only (0600), text:
//
//   VXTRUST <tab> 1                 header and format version
//   <key> <tab> <value>             one field a line, keys in byte order
//
//   floor         decimal version number; missing: no floor yet
//   answer-time   Unix seconds of the newest valid signed version answer
//   modern-signature
//                 "1": product inis must carry a valid signature by a
//                 trusted Ed25519 key ("<ini>.signatures"); missing: they
//                 need not, as releases made before them did not
//
// Keys are lower-case letters, digits and "-"; values hold no tab and no
// line break. Fields this build does not know are kept as they are when the
// file is written again, so a newer updater's fields survive an older one.
//
// Only step two writes it, after its journal has committed (never before,
// so an interrupted update leaves the old file): to ".vx3trust.new", flushed,
// renamed over the file, then the directory flushed, so a crash leaves the
// old or the new file whole. It lies beside the journal directory, not in
// it: an updated installation keeps it, and has no ".vx3update" left.

#include <QMap>
#include <QString>

class TrustState final
{
public:
    static const char* const kFileName; // ".vx3trust"

    static QString filePath(const QString& installDir);

    // Reads the state of `installDir`; a missing file is the empty state.
    // False, with `error` set, when the file exists but cannot be read or is
    // no trust file: an installation's record is never silently dropped.
    bool load(const QString& installDir, QString* error);
    // Writes the state crash-safely; false with `error` set on failure.
    bool write(const QString& installDir, QString* error) const;

    // The version floor; 0 when the installation has none yet.
    int floor() const;
    void setFloor(int version);
    // The pin of signed version answers; 0 when none was seen.
    qint64 answerTime() const;
    void setAnswerTime(qint64 seconds);
    // The pin of modern signatures; once set, it is never cleared.
    bool requiresModernSignature() const;
    void setRequiresModernSignature();

    // Any field, for fields added later; empty when not set. setValue
    // ignores a key or value the format cannot hold and returns false.
    QString value(const QString& key) const;
    bool setValue(const QString& key, const QString& value);

private:
    QMap<QString, QString> m_Values;
};
