#pragma once

#include <QString>
#include <QtGlobal>

// The result of a call across the gateway boundary: a signed 32-bit code, negative
// when the call itself failed, and a description for the person reading the report.
// An operation's outcome (success or failure of the request) is not a Status: it
// travels through the operation's last argument.
class [[nodiscard]] Status {
public:
    // Every failure code of the system, declared here once. They are the values
    // component platforms use for the same conditions, so a tester who knows them
    // recognises them; the components name them after what they mean to them.
    static constexpr qint32 ClassNotRegistered = qint32(0x80040154u);
    static constexpr qint32 CreationFailed = qint32(0x80004005u); // unspecified failure
    static constexpr qint32 NoInterface = qint32(0x80004002u);
    static constexpr qint32 TypeMismatch = qint32(0x80020005u);
    static constexpr qint32 SubscriptOutOfRange = qint32(0x8002000Bu);
    static constexpr qint32 InvalidArgument = qint32(0x80070057u);
    static constexpr qint32 AccessDenied = qint32(0x80070005u);
    static constexpr qint32 DiskFull = qint32(0x80070070u);
    static constexpr qint32 Busy = qint32(0x800700AAu);
    static constexpr qint32 Refused = qint32(0x800704C9u);
    static constexpr qint32 Timeout = qint32(0x800705B4u);
    static constexpr qint32 TlsFailed = qint32(0x80090326u);

    Status() = default;
    static Status ok() { return {}; }
    static Status failure(qint32 code, QString description)
    {
        Q_ASSERT(code < 0);
        return Status(code, std::move(description));
    }

    bool isOk() const { return m_code >= 0; }
    bool failed() const { return m_code < 0; }
    qint32 code() const { return m_code; }
    const QString &description() const { return m_description; }

private:
    Status(qint32 code, QString description)
        : m_code(code)
        , m_description(std::move(description))
    {
    }

    qint32 m_code = 0;
    QString m_description;
};

// Runs an expression that yields a Status and returns it from the enclosing function
// when it failed.
#define QUILLET_TRY(expr)                                                                          \
    do {                                                                                           \
        if (Status quilletStatus_ = (expr); quilletStatus_.failed())                               \
            return quilletStatus_;                                                                 \
    } while (false)
