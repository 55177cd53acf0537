#pragma once

// The service's certificate chain and private key, read at start and again on reload.
//
//   certificate file (PEM, chain first) ─┐
//   key file (PEM, RSA or EC) ── fstat: owned by the service's user with no rights for
//        group or others, or by root with at most reading for its group ──┴─ QSslConfiguration
//        (TLS 1.2 or later, forward-secret AEAD suites only)
//
// The rule on the key is PostgreSQL's: a key others could read is refused, naming the file.

#include "gateway/status.h"

#include <QSslConfiguration>
#include <QString>

// The configuration to serve TLS with, or a failure Status saying which file and why.
Status loadTls(const QString &certificateFile, const QString &keyFile,
               QSslConfiguration &configuration);
