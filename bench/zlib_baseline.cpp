// The work a repair cannot avoid, done by zlib alone: every member of a sound zip inflated (when
// deflated) and deflated again at level 8, with its CRC-32, nothing written. The repair benchmark
// compares vellomir-repair's time with this.
//   zlib_baseline ARCHIVE
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

uint32_t U32(const std::string& b, size_t at) {
  return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8 |
         static_cast<uint8_t>(b[at + 2]) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}
uint16_t U16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}

// Deflates `data` at level 8 into a scratch buffer, as the packer does, and returns the size.
size_t Deflate8(const unsigned char* data, size_t size, std::vector<unsigned char>& out) {
  z_stream s{};
  deflateInit2(&s, 8, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  s.next_in = const_cast<unsigned char*>(data);
  s.avail_in = static_cast<uInt>(size);
  size_t total = 0;
  int status = Z_OK;
  while (status != Z_STREAM_END) {
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    status = deflate(&s, Z_FINISH);
    total += out.size() - s.avail_out;
  }
  deflateEnd(&s);
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: zlib_baseline ARCHIVE\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string zip((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t end = zip.rfind(std::string("PK\x05\x06", 4));
  if (end == std::string::npos) return 1;
  const auto begin = std::chrono::steady_clock::now();
  size_t position = U32(zip, end + 16);
  const size_t count = U16(zip, end + 10);
  std::vector<unsigned char> inflated;
  std::vector<unsigned char> chunk(1 << 16);
  uint64_t bytes = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint16_t method = U16(zip, position + 10);
    const uint32_t compressed = U32(zip, position + 20);
    const uint32_t size = U32(zip, position + 24);
    const uint16_t name_length = U16(zip, position + 28);
    const size_t next =
        position + 46 + name_length + U16(zip, position + 30) + U16(zip, position + 32);
    const size_t local = U32(zip, position + 42);
    const size_t data = local + 30 + U16(zip, local + 26) + U16(zip, local + 28);
    const std::string name = zip.substr(position + 46, name_length);
    position = next;
    if (size == 0) continue;
    inflated.resize(size);
    if (method == 8) {
      z_stream s{};
      inflateInit2(&s, -MAX_WBITS);
      s.next_in = reinterpret_cast<unsigned char*>(const_cast<char*>(zip.data() + data));
      s.avail_in = compressed;
      s.next_out = inflated.data();
      s.avail_out = size;
      inflate(&s, Z_FINISH);
      inflateEnd(&s);
    } else {
      std::memcpy(inflated.data(), zip.data() + data, size);
    }
    crc32(0, inflated.data(), size);
    if (name != "mimetype") Deflate8(inflated.data(), size, chunk);
    bytes += size;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  std::printf("%.3f seconds for %llu bytes of members\n", seconds,
              static_cast<unsigned long long>(bytes));
  return 0;
}
