#pragma once

#include <string>

class StandinConfig;

// The two pages the stand-in serves. The settings never change while it
// runs, so both are rendered once and then only read by the HTTP threads.
class StandinPages
{
public:
    explicit StandinPages(const StandinConfig &config);

    const std::string &html() const { return m_html; }
    const std::string &json() const { return m_json; }

private:
    std::string m_html;
    std::string m_json;
};
