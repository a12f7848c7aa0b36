#pragma once
// Which cohort of a staged rollout a client belongs to: a keyed hash
// (HMAC-SHA-256) of its source address, mapped to one of kCohorts equal
// shares. The key is the server's secret, so a client cannot pick its cohort
// by choosing an address, and the same address always lands in the same
// cohort, on every retry and after every reload. Behind one NAT address all
// clients share a cohort.
//
// The key lives in a file of its own: 32 random bytes from the system's
// generator, made when the file does not exist yet (owner-only, never
// overwritten) and read as it is otherwise. It never comes from the network.

#include <QByteArray>
#include <QHostAddress>
#include <QString>

class Cohorts final
{
public:
    // Cohorts are numbered 0 to kCohorts - 1: one per hundredth of a percent.
    static constexpr int kCohorts = 10000;
    static constexpr int kKeyBytes = 32;

    // Reads the key from `path`, or makes a new one there when the file does
    // not exist. False with the reason when it cannot be made or read, or
    // does not hold exactly kKeyBytes bytes. `created` tells which happened.
    static bool loadOrCreateKey(const QString& path, QByteArray* key, bool* created, QString* error);

    explicit Cohorts(const QByteArray& key);

    // An IPv4 address mapped into IPv6 is the same client as the IPv4 one.
    int cohortOf(const QHostAddress& address) const;

private:
    QByteArray m_Key;
};
