// The signature scan: one pass over the source in 64 KiB blocks.
#include <algorithm>
#include <array>
#include <cstring>

#include "archive/zip_format.h"
#include "salvage/signature_index.h"

namespace vellomir::salvage_internal {
namespace {

constexpr size_t kBlockSize = 65536;
// The bytes of a block's end that are kept for the next round, so that a signature that begins in
// a block's last three bytes is seen whole.
constexpr size_t kCarry = 3;
constexpr int64_t kSmallestHeader = 30;

std::optional<int64_t> FirstAtOrAfter(const std::vector<int64_t>& list, int64_t offset) {
  const auto it = std::lower_bound(list.begin(), list.end(), offset);
  if (it == list.end()) return std::nullopt;
  return *it;
}

bool Contains(const std::vector<int64_t>& list, int64_t offset) {
  return std::binary_search(list.begin(), list.end(), offset);
}

class Scanner {
 public:
  explicit Scanner(platform::File& source) : source_(source) {}

  SignatureIndex Run() {
    std::vector<uint8_t> buffer(kCarry + kBlockSize);
    size_t carried = 0;
    int64_t position = 0;  // file offset of the next block
    for (;;) {
      const int64_t n = platform::ReadAt(source_, position, buffer.data() + carried, kBlockSize);
      if (n == 0) break;
      if (n < 0) {
        // A block that cannot be read is passed over; whatever follows it is still found.
        const int64_t size = source_.Size();
        position += static_cast<int64_t>(kBlockSize);
        carried = 0;
        if (size < 0 || position >= size) break;
        continue;
      }
      const int64_t base = position - static_cast<int64_t>(carried);
      const size_t length = carried + static_cast<size_t>(n);
      ScanBlock(buffer.data(), length, base);
      position += n;
      carried = std::min(kCarry, length);
      std::memmove(buffer.data(), buffer.data() + length - carried, carried);
    }
    std::sort(index_.claims.begin(), index_.claims.end());
    return std::move(index_);
  }

 private:
  // Records every signature that begins in block[0, length - 3].
  void ScanBlock(const uint8_t* block, size_t length, int64_t base) {
    if (length < 4) return;
    const uint8_t* p = block;
    const uint8_t* const last = block + length - 3;  // the last start that has four bytes
    while (p < last) {
      p = static_cast<const uint8_t*>(std::memchr(p, 'P', static_cast<size_t>(last - p)));
      if (p == nullptr) break;
      if (p[1] == 'K') Record(zipformat::LoadU32(p), block, length, p - block, base);
      ++p;
    }
  }

  void Record(uint32_t signature, const uint8_t* block, size_t length, ptrdiff_t at, int64_t base) {
    const int64_t offset = base + at;
    switch (signature) {
      case zipformat::kLocalHeaderSignature:
        index_.local_headers.push_back(offset);
        break;
      case zipformat::kDataDescriptorSignature:
        index_.descriptors.push_back(offset);
        RecordClaim(block, length, static_cast<size_t>(at), offset);
        break;
      case zipformat::kCentralHeaderSignature:
      case zipformat::kEndRecordSignature:
      case zipformat::kZip64EndRecordSignature:
      case zipformat::kZip64LocatorSignature:
        index_.index_records.push_back(offset);
        break;
      default:
        break;
    }
  }

  // The compressed-size field of a descriptor, from the block when it lies there, else read.
  void RecordClaim(const uint8_t* block, size_t length, size_t at, int64_t offset) {
    std::array<uint8_t, 4> field{};
    if (at + 12 <= length) {
      std::memcpy(field.data(), block + at + 8, 4);
    } else if (!platform::ReadExactAt(source_, offset + 8, field.data(), 4)) {
      return;
    }
    const int64_t compressed = zipformat::LoadU32(field.data());
    const int64_t data_offset = offset - compressed;
    // Data claimed to begin before any header could have been written cannot be a member's.
    if (compressed == 0 || data_offset < kSmallestHeader) return;
    index_.claims.push_back(SignatureIndex::Claim{data_offset, offset});
  }

  platform::File& source_;
  SignatureIndex index_;
};

}  // namespace

bool SignatureIndex::SignatureAt(int64_t offset) const {
  return Contains(local_headers, offset) || Contains(descriptors, offset) ||
         Contains(index_records, offset);
}

std::optional<int64_t> SignatureIndex::NextSignature(int64_t offset) const {
  std::optional<int64_t> next;
  for (const auto* list : {&local_headers, &descriptors, &index_records}) {
    const std::optional<int64_t> found = FirstAtOrAfter(*list, offset);
    if (found && (!next || *found < *next)) next = found;
  }
  return next;
}

std::optional<int64_t> SignatureIndex::FirstDescriptorAfter(int64_t offset) const {
  const auto it = std::upper_bound(descriptors.begin(), descriptors.end(), offset);
  if (it == descriptors.end()) return std::nullopt;
  return *it;
}

std::optional<int64_t> SignatureIndex::OwnDescriptorOf(int64_t data_offset) const {
  const auto it = std::lower_bound(claims.begin(), claims.end(), Claim{data_offset, 0});
  if (it == claims.end() || it->data_offset != data_offset) return std::nullopt;
  return it->descriptor_offset;
}

SignatureIndex ScanSignatures(platform::File& source) {
  return Scanner(source).Run();
}

}  // namespace vellomir::salvage_internal
