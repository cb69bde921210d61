// Compression of reply data beside gzip -1 on the same bytes: the server's
// zlib streams (CompressForReply, in 4 MiB ranges as "dload" sends them)
// against `gzip -1` over the whole input, for real text (the system's C
// headers) and for incompressible bytes. Prints one line per input:
//   input=text bytes=N ours=MiB/s ratio=R gzip1=MiB/s gzip1_ratio=R
//   compress_bench [MiB]
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "platform/byte_buffer.h"
#include "protocol/reply_compress.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kRange = 4 * 1024 * 1024;

// Real text: the C headers of the system, concatenated up to bytes.
std::string SystemHeaders(size_t bytes) {
  std::string text;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator("/usr/include")) {
    if (text.size() >= bytes) break;
    if (!entry.is_regular_file() || entry.path().extension() != ".h") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    text.append(std::istreambuf_iterator<char>(in), {});
  }
  text.resize(std::min(text.size(), bytes));
  return text;
}

std::string Noise(size_t bytes) {
  std::mt19937_64 random(11);
  std::string noise(bytes, '\0');
  for (size_t i = 0; i + 8 <= bytes; i += 8) {
    uint64_t v = random();
    std::memcpy(&noise[i], &v, 8);
  }
  return noise;
}

void Measure(const char* name, const std::string& input, const std::string& dir) {
  dirsync::ByteBuffer out;
  size_t zipped = 0;
  // Warm the compressor and the output buffer once.
  size_t length = 0;
  dirsync::CompressForReply(reinterpret_cast<const uint8_t*>(input.data()),
                            std::min(input.size(), kRange), out, &length);
  const auto start = Clock::now();
  for (size_t at = 0; at < input.size(); at += kRange) {
    const size_t n = std::min(kRange, input.size() - at);
    if (!dirsync::CompressForReply(reinterpret_cast<const uint8_t*>(input.data() + at),
                                   n, out, &length)) {
      std::exit(1);
    }
    zipped += length;
  }
  const double ours = std::chrono::duration<double>(Clock::now() - start).count();

  const std::string file = dir + "/" + name;
  std::ofstream(file, std::ios::binary).write(input.data(),
                                              static_cast<std::streamsize>(input.size()));
  const std::string command = "gzip -1 -c '" + file + "' | wc -c > '" + file + ".len'";
  const auto gzipStart = Clock::now();
  if (std::system(command.c_str()) != 0) std::exit(1);
  const double gzip = std::chrono::duration<double>(Clock::now() - gzipStart).count();
  size_t gzipBytes = 0;
  std::ifstream(file + ".len") >> gzipBytes;

  const double mib = static_cast<double>(input.size()) / (1024.0 * 1024.0);
  std::printf("input=%s bytes=%zu ours=%.1fMiB/s ratio=%.3f gzip1=%.1fMiB/s gzip1_ratio=%.3f\n",
              name, input.size(), mib / ours,
              static_cast<double>(zipped) / static_cast<double>(input.size()),
              mib / gzip,
              static_cast<double>(gzipBytes) / static_cast<double>(input.size()));
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  char pattern[] = "/tmp/compress-bench-XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  Measure("text", SystemHeaders(mib << 20), dir);
  Measure("incompressible", Noise(mib << 20), dir);
  std::filesystem::remove_all(dir);
  return 0;
}
