#pragma once

#include <QString>

#include <utility>

// The outcome of an operation that can fail, with the reason in plain words
// for the user when it did.
class Result
{
public:
    static Result success() { return Result(true, {}); }
    static Result failure(QString message) { return Result(false, std::move(message)); }

    bool ok() const { return m_ok; }
    const QString &errorMessage() const { return m_errorMessage; }

private:
    Result(bool ok, QString message) : m_ok(ok), m_errorMessage(std::move(message)) {}

    bool m_ok;
    QString m_errorMessage;
};
