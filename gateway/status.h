#pragma once

#include <QString>
#include <QtGlobal>

// The result of a call across the gateway boundary: a signed 32-bit code, negative
// when the call itself failed, and a description for the person reading the report.
// An operation's outcome (success or failure of the request) is not a Status: it
// travels through the operation's last argument.
class [[nodiscard]] Status {
public:
    // Failure codes the console and the loader produce themselves. They use the
    // values component platforms use for the same conditions, so a tester who knows
    // them recognises them.
    static constexpr qint32 ClassNotRegistered = qint32(0x80040154u);
    static constexpr qint32 CreationFailed = qint32(0x80004005u);
    static constexpr qint32 NoInterface = qint32(0x80004002u);
    static constexpr qint32 TypeMismatch = qint32(0x80020005u);
    static constexpr qint32 SubscriptOutOfRange = qint32(0x8002000Bu);
    static constexpr qint32 InvalidArgument = qint32(0x80070057u);

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
