// Frame building and reading+decoding speed of the client library.
#include "RawMessage.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

using com_vela::RawMessage;

namespace {

RawMessage sampleBody(unsigned size)
{
    static const char sHeader[12] = {4, 2, 0x7F, static_cast<char>(0xFF), 0, 0, 0, 0, 0x00, 0x7F, 0x00, 0x03};
    RawMessage m(RawMessage::TYPE_DATA);
    m.write(sHeader, sizeof sHeader);
    while (m.getSize() + 12 <= size) {
        m.write(7u);
        m.write(0u);
        m.write(72.5f);
    }
    return m;
}

void BM_BuildFrame(benchmark::State& state)
{
    RawMessage body = sampleBody(static_cast<unsigned>(state.range(0)));
    for (auto _ : state) {
        RawMessage frame(RawMessage::TYPE_DATA);
        com_vela::buildFrame(body, frame);
        benchmark::DoNotOptimize(frame.getData().data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * (32 + body.getSize()));
}
BENCHMARK(BM_BuildFrame)->Arg(24)->Arg(252)->Arg(4092);

// Reads frames back to back from one buffer the way the receive thread does
// (header, decode, body copy) and decodes the update entries of each body.
void BM_ReadAndDecodeFrames(benchmark::State& state)
{
    const unsigned bodySize = static_cast<unsigned>(state.range(0));
    RawMessage frame(RawMessage::TYPE_DATA);
    com_vela::buildFrame(sampleBody(bodySize), frame);
    const unsigned framesInBuffer = 1000;
    std::vector<char> stream;
    for (unsigned i = 0; i < framesInBuffer; ++i)
        stream.insert(stream.end(), frame.getData().begin(), frame.getData().end());

    for (auto _ : state) {
        size_t pos = 0;
        float sum = 0;
        while (pos + com_vela::FRAME_HEADER_SIZE <= stream.size()) {
            RawMessage header(&stream[pos], com_vela::FRAME_HEADER_SIZE, RawMessage::TYPE_DATA);
            RawMessage::Type type;
            unsigned frameLength = 0, bodyLength = 0;
            if (com_vela::decodeFrameHeader(header, type, frameLength, bodyLength) != com_vela::FRAME_HEADER_OK)
                break;
            pos += com_vela::FRAME_HEADER_SIZE;
            RawMessage body(&stream[pos], bodyLength, type);
            pos += bodyLength;
            if (body.getWord(10) == 0x0003)
                for (unsigned off = 12; off + 12 <= body.getSize(); off += 12)
                    sum += body.getFloat(off + 8) + static_cast<float>(body.getDoubleWord(off));
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * framesInBuffer);
    state.SetBytesProcessed(state.iterations() * stream.size());
}
BENCHMARK(BM_ReadAndDecodeFrames)->Arg(24)->Arg(252)->Arg(4092);

} // namespace

BENCHMARK_MAIN();
