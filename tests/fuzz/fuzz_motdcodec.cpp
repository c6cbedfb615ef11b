// Any text as the message of the day: splitting never fails and loses nothing
// but the line breaks, and a message without "@" comes back from its stored
// form unchanged.

#include "motdcodec.h"
#include "reference.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = ref::decode(std::string(reinterpret_cast<const char *>(data), size));
    const std::vector<std::string> expectedLines = ref::lines(ref::utf8(text));

    const QStringList lines = SplitMotdLines(text);
    ref::require(!lines.isEmpty(), "SplitMotdLines gives at least one line");
    for (const QString &line : lines)
        ref::require(!line.contains(u'\r') && !line.contains(u'\n'), "no line holds CR or LF");
    ref::requireEqual("SplitMotdLines", ref::utf8(lines.join(u'\n')), ref::join(expectedLines, "\n"));

    const std::string crLf = ref::join(expectedLines, "\r\n");
    ref::requireEqual("motdFromEditorText", ref::utf8(motdFromEditorText(text)), crLf);
    ref::requireEqual("motdToEditorText", ref::utf8(motdToEditorText(text)), ref::join(expectedLines, "\n"));
    ref::requireEqual("DecodeMotd", ref::utf8(DecodeMotd(text)), ref::decodeMotd(ref::utf8(text)));

    // The stored form keeps a message exactly when its breaks are CR LF and it has no "@".
    std::string message;
    for (const char c : crLf) {
        if (c != '@')
            message += c;
    }
    const QString original = ref::decode(message);
    ref::requireEqual("DecodeMotd(JoinMotdLines(SplitMotdLines(text)))",
                      ref::utf8(DecodeMotd(JoinMotdLines(SplitMotdLines(original)))), message);
    return 0;
}
