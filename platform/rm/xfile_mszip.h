// The compressed `.x` forms (`tzip`, `bzip`): after the 16-byte header, a DWORD with the
// size of the whole uncompressed file (header included), then blocks of
// WORD uncompressed size, WORD compressed size, "CK" and one raw deflate stream. Each
// block continues the previous ones' 32 KB history.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/rm/cost_account.h"

namespace xfile::detail {

// `data` is what follows the 16-byte header. Fills `body` with the uncompressed data
// that follows the header in the plain form. Never produces more than the size the data
// declares. A shortfall against that size is reported through `warning` (the data that
// did decompress is kept). The inflated bytes are charged to `cost`: data that would pass
// its limit is refused (cost.refusal() in `error`) before the room for it is taken.
bool mszipDecompress(std::span<const uint8_t> data, std::vector<uint8_t>& body, std::string& error,
                     std::string& warning, rm::CostAccount& cost);

}  // namespace xfile::detail
