#pragma once

#include <QtGlobal>

#include <vector>

namespace bench {

// The message codec on one message size: the median time of one call of each
// conversion, on the message in the form that conversion takes.
struct CodecFigures
{
    qsizetype utf8Bytes = 0; // the message text (CR LF form) in UTF-8
    qsizetype chars = 0;     // the same in UTF-16 code units
    double splitNs = 0;
    double joinNs = 0;
    double decodeNs = 0;
    // The floor of linear cost: a plain copy of the message text, which
    // meets the same caches and the same fresh memory as the conversions.
    double copyNs = 0;
};

// From 1 KiB to 16 MiB, by factors of four; `samples` timings of each.
std::vector<CodecFigures> measureCodec(int samples);

} // namespace bench
