#pragma once

// What the store keeps of a request's Idempotency-Key, and what only the key opens.
//
//   key text ── BLAKE2b ── master ──┬─ subkey 1: the record's name in service_requests
//                                   ├─ subkey 2: seals the remembered answer (secretbox)
//                                   └─ subkey 3: keys the request's fingerprint (BLAKE2b)
//
// The key itself rests nowhere. A copy of the store (or a backup, or a dump) shows which
// records exist, but opens no answer (the cards an operator issued, say) and cannot test
// a guessed password against a fingerprint: both need the key, which only the client
// that sent the request holds. Keys are at least 128 bits of text, so they cannot be
// guessed either.

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

class RequestKey {
public:
    // Nothing for a key shorter than Wire::MinKeyLength, or when libsodium cannot be used.
    static std::optional<RequestKey> derive(const QString &key);

    // The record's name: hex, 64 characters.
    QString lookup() const;
    // The request's fingerprint: hex, 64 characters.
    QString fingerprint(const QByteArray &request) const;
    // `answer` sealed for the store: base64 of nonce and box.
    QString seal(const QByteArray &answer) const;
    // The answer, or nothing when `sealed` was not sealed with this key or was altered.
    std::optional<QByteArray> open(const QString &sealed) const;

private:
    using Subkey = std::array<unsigned char, 32>;
    RequestKey() = default;

    Subkey m_lookup {};
    Subkey m_seal {};
    Subkey m_fingerprint {};
};
