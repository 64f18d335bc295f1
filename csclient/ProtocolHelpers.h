#ifndef COM_VELA_PROTOCOLHELPERS_H
#define COM_VELA_PROTOCOLHELPERS_H

// Small helpers shared by the SIM and APP protocol engines: message headers
// from templates, fixed-width names, bounded reads and callback fan-out.

#include "CSClient.h"
#include "RawMessage.h"

#include <set>
#include <string>
#include <vector>

namespace com_vela {
namespace protocol_helpers {

// A data message starting with a copy of the 12-byte header template, its
// message code set to `code`.
RawMessage beginMessage(const unsigned char (&header)[12], unsigned code);

// name in a zero-padded field of `width` bytes (at most width - 1 characters kept).
void writeName(RawMessage& message, const std::string& name, unsigned width = 32);

// The field at `offset` up to its first zero byte, at most `width` bytes and
// never past the end of the body.
std::string readName(const RawMessage& message, unsigned offset, unsigned width = 32);

// Number of whole entries of `entrySize` bytes from `offset` that the body
// holds, at most `announced`: the bound for every loop over a wire count.
unsigned entriesInBody(const RawMessage& message, unsigned offset, unsigned entrySize, unsigned announced);

// A request of a leading word (the SIM simulator word, the APP patient id),
// the count and the entries' server ids: both protocols' unsubscriptions.
template <typename Entry>
RawMessage serverIdList(const unsigned char (&header)[12], unsigned code, unsigned leadingWord,
                        const std::vector<Entry*>& entries) {
    RawMessage m = beginMessage(header, code);
    m.write(leadingWord);
    m.write(static_cast<unsigned>(entries.size()));
    for (const auto* e : entries) m.write(e->serverId);
    return m;
}

// Update-rate code of an input definition to the rate word on the wire.
unsigned rateWord(unsigned updateRateCode);

// Truncation toward zero that never overflows: NaN gives 0, values outside
// the int range the nearest limit.
int truncateToInt(float value);

}  // namespace protocol_helpers
}  // namespace com_vela

#endif
