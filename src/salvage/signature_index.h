// The signature scan and the index it builds. Private to the member salvage.
#ifndef VELLOMIR_SALVAGE_SIGNATURE_INDEX_H_
#define VELLOMIR_SALVAGE_SIGNATURE_INDEX_H_

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/platform.h"

namespace vellomir::salvage_internal {

// Every record signature of a source, each list in ascending order.
struct SignatureIndex {
  std::vector<int64_t> local_headers;  // PK\3\4
  std::vector<int64_t> descriptors;    // PK\7\8
  std::vector<int64_t> index_records;  // PK\1\2, PK\5\6, PK\6\6, PK\6\7
  // For every descriptor whose compressed-size field could describe data that lie in the source:
  // the data offset it claims (its own offset minus that size) and its own offset, sorted by
  // claimed offset, then by own offset. A member's own descriptor is found here by its data
  // offset in logarithmic time.
  struct Claim {
    int64_t data_offset;
    int64_t descriptor_offset;
    bool operator<(const Claim& other) const {
      return data_offset != other.data_offset ? data_offset < other.data_offset
                                              : descriptor_offset < other.descriptor_offset;
    }
  };
  std::vector<Claim> claims;

  // True when a recorded signature of any kind begins exactly at `offset`.
  bool SignatureAt(int64_t offset) const;
  // The first recorded signature of any kind at or after `offset`.
  std::optional<int64_t> NextSignature(int64_t offset) const;
  // The first recorded descriptor after `offset`.
  std::optional<int64_t> FirstDescriptorAfter(int64_t offset) const;
  // The first descriptor whose compressed size equals its distance from `data_offset`.
  std::optional<int64_t> OwnDescriptorOf(int64_t data_offset) const;
};

// Reads the whole source in 64 KiB blocks and records every signature wherever it begins: across
// block boundaries and in a block's last bytes too. A block that cannot be read (a bad sector) is
// passed over and the scan goes on behind it.
SignatureIndex ScanSignatures(platform::File& source);

}  // namespace vellomir::salvage_internal

#endif  // VELLOMIR_SALVAGE_SIGNATURE_INDEX_H_
