#include "codecbench.h"

#include "benchclock.h"
#include "motdcodec.h"
#include "samples.h"

#include <algorithm>

namespace bench {

namespace {

volatile qsizetype g_sink = 0;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Nanoseconds of one call, from a batch of calls long enough for the clock.
template <typename F> double timeOneCall(int calls, F &&call)
{
    const std::int64_t t0 = monotonicNs();
    for (int i = 0; i < calls; ++i)
        g_sink = g_sink + call();
    return double(monotonicNs() - t0) / calls;
}

} // namespace

std::vector<CodecFigures> measureCodec(int samples)
{
    struct Size
    {
        QString text;
        QStringList lines;
        QString stored;
        int calls = 1;
        std::vector<double> split, join, decode, copy;
    };
    std::vector<Size> sizes;
    for (qsizetype size = 1024; size <= 16 * 1024 * 1024; size *= 4) {
        Size s;
        s.text = messageText(size);
        s.lines = SplitMotdLines(s.text);
        s.stored = JoinMotdLines(s.lines);
        // Batches of about four million characters.
        s.calls = int(std::max<qsizetype>(1, 4 * 1024 * 1024 / s.text.size()));
        sizes.push_back(std::move(s));
    }
    // Every size in each round, so that a busy spell of the machine falls on
    // all of them alike rather than on one.
    for (int round = 0; round < samples; ++round) {
        for (Size &s : sizes) {
            s.split.push_back(timeOneCall(s.calls, [&] { return SplitMotdLines(s.text).size(); }));
            s.join.push_back(timeOneCall(s.calls, [&] { return JoinMotdLines(s.lines).size(); }));
            s.decode.push_back(timeOneCall(s.calls, [&] { return DecodeMotd(s.stored).size(); }));
            s.copy.push_back(
                timeOneCall(s.calls, [&] { return QString(s.text.constData(), s.text.size()).size(); }));
        }
    }
    std::vector<CodecFigures> figures;
    for (const Size &s : sizes) {
        CodecFigures f;
        f.utf8Bytes = s.text.toUtf8().size();
        f.chars = s.text.size();
        f.splitNs = median(s.split);
        f.joinNs = median(s.join);
        f.decodeNs = median(s.decode);
        f.copyNs = median(s.copy);
        figures.push_back(f);
    }
    return figures;
}

} // namespace bench
