#include "standinpages.h"

#include "standinconfig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// Built by appending rather than with QString::arg so that a "%1" in
// operator text is never taken for a placeholder.
QString renderHtml(const StandinConfig &config)
{
    const QString name = config.value(QStringLiteral("ServerName")).value_or(QString());
    QString title = QStringLiteral("Orbelith Server");
    if (!name.isEmpty())
        title += QStringLiteral(" \u2013 ") + name.toHtmlEscaped();

    QString html =
        QStringLiteral("<!DOCTYPE html>\n"
                       "<html lang=\"en\">\n"
                       "<head>\n"
                       "<meta charset=\"utf-8\">\n"
                       "<title>") +
        title +
        QStringLiteral("</title>\n"
                       "<style>\n"
                       "body { font-family: sans-serif; margin: 2em; max-width: 50em; }\n"
                       "th, td { text-align: left; padding: 0.2em 0.8em; white-space: pre-wrap; }\n"
                       "th { font-weight: normal; color: #555; }\n"
                       ".unset { color: #888; font-style: italic; }\n"
                       "ul.motd { list-style: none; padding: 0.5em 1em; background: #f2f2f2; "
                       "font-family: monospace; }\n"
                       "ul.motd li { min-height: 1.2em; white-space: pre-wrap; }\n"
                       "</style>\n"
                       "</head>\n"
                       "<body>\n"
                       "<h1>") +
        title + QStringLiteral("</h1>\n<table>\n");

    for (const QString &key : StandinConfig::singleKeys()) {
        html += QStringLiteral("<tr><th>") + key + QStringLiteral("</th>");
        if (const std::optional<QString> value = config.value(key))
            html += QStringLiteral("<td>") + value->toHtmlEscaped() + QStringLiteral("</td></tr>\n");
        else
            html += QStringLiteral("<td class=\"unset\">not set</td></tr>\n");
    }

    // One element per line, so that empty lines keep their place.
    html += QStringLiteral("</table>\n<h2>Message of the day</h2>\n<ul class=\"motd\">\n");
    for (const QString &line : config.motdLines())
        html += QStringLiteral("<li>") + line.toHtmlEscaped() + QStringLiteral("</li>\n");
    html += QStringLiteral("</ul>\n</body>\n</html>\n");
    return html;
}

QByteArray renderJson(const StandinConfig &config)
{
    QJsonObject object;
    for (const QString &key : StandinConfig::singleKeys()) {
        const std::optional<QString> value = config.value(key);
        object.insert(key, value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null));
    }
    object.insert(QStringLiteral("MotdLines"), QJsonArray::fromStringList(config.motdLines()));
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

} // namespace

StandinPages::StandinPages(const StandinConfig &config)
    : m_html(renderHtml(config).toStdString()), m_json(renderJson(config).toStdString())
{}
