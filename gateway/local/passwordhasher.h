#pragma once

#include <QLatin1StringView>
#include <QString>

#include <cstddef>

// Slow salted hashes (argon2id) for account and card passwords, and random digits for
// card numbers and card passwords, both from libsodium.
class PasswordHasher {
public:
    struct Cost {
        unsigned long long opsLimit = 0;
        std::size_t memLimit = 0;
        friend bool operator==(const Cost &, const Cost &) = default;
    };

    // What production uses: libsodium's interactive limits.
    static Cost interactive();
    // The cheapest cost libsodium accepts; for tests only.
    static Cost fastest();

    explicit PasswordHasher(Cost cost = interactive());

    Cost cost() const { return m_cost; }

    // False only when libsodium could not get the memory the cost asks for.
    bool hash(const QString &password, QString &encoded) const;
    // The cost is read from the encoded hash, so a hash made at any cost verifies.
    static bool verify(const QString &encoded, const QString &password);

    // `count` decimal digits, uniformly random; empty when libsodium is unusable.
    static QString randomDigits(int count);
    // `count` characters drawn uniformly from `alphabet` (ASCII); empty when libsodium is
    // unusable.
    static QString randomText(int count, QLatin1StringView alphabet);

private:
    Cost m_cost;
};
