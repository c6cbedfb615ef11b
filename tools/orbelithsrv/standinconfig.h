#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>
#include <string>

// Where the stand-in listens: a numeric address, never a host name, so that
// starting it can never trigger a name lookup.
struct ListenAddress
{
    std::string ip;
    int port = 0;
};

// The settings file the GUI writes beside the server. Values are operator
// text and are kept exactly as found, so what is shown can be compared byte
// for byte with what was written.
class StandinConfig
{
public:
    static inline const QString kFileName = QStringLiteral("orbelithsrv.conf");

    // Reads kFileName from the current directory. On failure returns nothing
    // and sets *error to a one-line reason.
    static std::optional<StandinConfig> load(QString *error);
    static StandinConfig parse(const QByteArray &data);

    // The keys that hold one value, in the order the GUI writes them.
    static const QStringList &singleKeys();

    std::optional<QString> value(const QString &key) const;
    const QStringList &motdLines() const { return m_motdLines; }

    std::optional<ListenAddress> listenAddress(QString *error) const;

private:
    QHash<QString, QString> m_values;
    QStringList m_motdLines;
};

// Operator text made fit for a one-line message: control characters become
// "?" and long values are cut.
QString printable(const QString &text, qsizetype maxLength = 60);
